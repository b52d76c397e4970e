#pragma once

// One registration run: the Redis keys of a service, and the steps that clear its previous
// registration and write the new records.
//
// Threads: made, used and destroyed by the registration worker thread for one run, on that
// thread's open RedisConnection.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "redis/RedisConnection.h"
#include "redis/RedisTypes.h"
#include "registration/DataPointCatalogue.h"
#include "registration/TypeTable.h"

namespace ormanta::plugins::TulService {

class RegistrationRun {
 public:
  static constexpr std::string_view kQualityTypeName = "e_quality";
  static constexpr std::string_view kElementCategoryTypeName = "e_elementCategory";

  // Forms every key from serviceName; sends nothing.
  RegistrationRun(RedisConnection& connection, std::string serviceName);
  RegistrationRun(const RegistrationRun&) = delete;
  RegistrationRun& operator=(const RegistrationRun&) = delete;

  // HDEL servicesKey S, then DEL commandStreamKey dataTypesKey dataPointsKey.
  void clearPreviousRegistration();
  // HSET servicesKey S <service record>.
  void writeServiceRecord();
  // HSET dataTypesKey e_quality …, then HSET dataTypesKey e_elementCategory …, each awaited.
  void writeEnumerationTypes();
  // Every structure type and data point record in one pipelined hset. The catalogue's member
  // lists move into typeTable; only its names are left.
  void writeDataPoints(DataPointCatalogue& catalogue);
  // writeDataPoints without sending: the records in the order they would go out, each
  // structure type before the first data point that names it.
  std::vector<RedisRecord> encodeDataPoints(DataPointCatalogue& catalogue);

  TypeTable typeTable;
  std::int32_t nextTypeNumber = 1;
  RedisConnection* const connection;
  const std::string serviceName;
  const std::string valueStreamPrefix;  // "{}Value"
  const std::string servicesKey;        // "Services"
  const std::string commandStreamKey;   // "{}.Commands"
  const std::string dataPointsKey;      // "{}.DataPoints"
  const std::string dataTypesKey;       // "{}.DataTypes"

 private:
  void writeEnumerationType(std::string_view typeName, std::span<const std::string_view> names);

  std::string updateChannel_;  // scratch: one data point's "{}:{}" at a time
};

}  // namespace ormanta::plugins::TulService
