#pragma once

// One registration run: the Redis keys of a service, and the steps that clear its previous
// registration and write the new records.
//
// Threads: made, used and destroyed by the registration worker thread for one run, on that
// thread's open RedisAccess.

#include <cstddef>
#include <cstdint>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "redis/RedisConnection.h"
#include "redis/RedisTypes.h"
#include "registration/DataPointCatalogue.h"
#include "registration/TypeTable.h"

namespace ormanta::plugins::TulService {

class Service;

class RegistrationRun {
 public:
  static constexpr std::string_view kQualityTypeName = "e_quality";
  static constexpr std::string_view kElementCategoryTypeName = "e_elementCategory";

  // Forms every key from serviceName; sends nothing. Once stop is requested, encoding ends
  // before the next data point with std::system_error(std::errc::operation_canceled).
  RegistrationRun(RedisAccess& connection, std::string serviceName, std::stop_token stop = {});
  RegistrationRun(const RegistrationRun&) = delete;
  RegistrationRun& operator=(const RegistrationRun&) = delete;

  // HDEL servicesKey S, then DEL commandStreamKey dataTypesKey dataPointsKey.
  void clearPreviousRegistration();
  // HSET servicesKey S <service record>.
  void writeServiceRecord();
  // HSET dataTypesKey e_quality …, then HSET dataTypesKey e_elementCategory …, each awaited.
  void writeEnumerationTypes();
  // Walks the service's model into catalogue (fillCatalogue), ended by the run's stop.
  void describeModel(const Service& service);
  // Every structure type record, then every data point record, in one pipelined hset, encoded
  // into records first. The catalogue's member lists move into typeTable or are freed, and its
  // entries are taken out as their records are made: it is left empty.
  void writeDataPoints(DataPointCatalogue& catalogue);
  // writeDataPoints without sending: the records in the order they would go out, each
  // structure type before the first data point that names it.
  std::vector<RedisRecord> encodeDataPoints(DataPointCatalogue& catalogue);

  // What a run builds stays in the run, also when a step throws or the stop ends it: for a
  // model of a million elements freeing it takes seconds, and the run's owner decides where
  // (RunReleaser) instead of a stack being unwound.
  TypeTable typeTable;
  DataPointCatalogue catalogue;
  std::vector<RedisRecord> records;
  std::int32_t nextTypeNumber = 1;
  RedisAccess* const connection;
  const std::string serviceName;
  const std::string valueStreamPrefix;  // "{}Value"
  const std::string servicesKey;        // "Services"
  const std::string commandStreamKey;   // "{}.Commands"
  const std::string dataPointsKey;      // "{}.DataPoints"
  const std::string dataTypesKey;       // "{}.DataTypes"

 private:
  void writeEnumerationType(std::string_view typeName, std::span<const std::string_view> names);
  // Appends the records of catalogue to records, emptying catalogue.
  void encodeInto(DataPointCatalogue& catalogue);
  void checkStop() const;

  std::stop_token stop_;
  std::string updateChannel_;  // scratch: one data point's "{}:{}" at a time
};

}  // namespace ormanta::plugins::TulService
