#include "registration/RegistrationRun.h"

#include <fmt/format.h>

#include <system_error>
#include <utility>

#include "registration/RegistrationRecords.h"

namespace ormanta::plugins::TulService {

namespace {

// Built field by field: an initializer list would copy both texts.
RedisRecord makeRecord(const std::string& key, std::string field, std::string value) {
  RedisRecord record{key, {}};
  record.fields.emplace(std::move(field), std::move(value));
  return record;
}

}  // namespace

RegistrationRun::RegistrationRun(RedisConnection& connection, std::string serviceName, std::stop_token stop)
    : connection(&connection),
      serviceName(std::move(serviceName)),
      valueStreamPrefix(fmt::format("{}Value", this->serviceName)),
      servicesKey("Services"),
      commandStreamKey(fmt::format("{}.Commands", this->serviceName)),
      dataPointsKey(fmt::format("{}.DataPoints", this->serviceName)),
      dataTypesKey(fmt::format("{}.DataTypes", this->serviceName)),
      stop_(std::move(stop)) {}

void RegistrationRun::clearPreviousRegistration() {
  connection->hdel(servicesKey, {serviceName});
  connection->del({commandStreamKey, dataTypesKey, dataPointsKey});
}

void RegistrationRun::writeServiceRecord() {
  std::vector<RedisRecord> records;
  records.push_back(makeRecord(servicesKey, serviceName,
                               encodeServiceRecord(dataPointsKey, dataTypesKey, commandStreamKey)));
  connection->hset(records);
}

void RegistrationRun::writeEnumerationTypes() {
  writeEnumerationType(kQualityTypeName, qualityNames());
  writeEnumerationType(kElementCategoryTypeName, elementCategoryNames());
}

void RegistrationRun::writeEnumerationType(std::string_view typeName, std::span<const std::string_view> names) {
  std::vector<RedisRecord> records;
  records.push_back(makeRecord(dataTypesKey, std::string(typeName), encodeEnumerationTypeRecord(names)));
  connection->hset(records);
}

void RegistrationRun::describeModel(const Service& service) { fillCatalogue(service, catalogue, stop_); }

void RegistrationRun::writeDataPoints(DataPointCatalogue& catalogue) {
  // Encoded whole before anything is sent: a member that cannot be described leaves the
  // data point hash untouched.
  records.clear();
  encodeInto(catalogue);
  connection->hset(records);
}

std::vector<RedisRecord> RegistrationRun::encodeDataPoints(DataPointCatalogue& catalogue) {
  records.clear();
  encodeInto(catalogue);
  return std::exchange(records, {});
}

void RegistrationRun::encodeInto(DataPointCatalogue& catalogue) {
  // One record per data point plus one per distinct member list, of which a model has few.
  records.reserve(records.size() + catalogue.size() + 16);
  for (auto& [name, members] : catalogue) {
    // A model of a million elements takes seconds to encode; a stop must not wait for it.
    if (stop_.stop_requested()) throw std::system_error(std::make_error_code(std::errc::operation_canceled));
    // The lists move into the table; names are copied, the map's keys being const.
    const auto [type, isNew] = typeTable.try_emplace(std::move(members));
    TypeEntry& entry = type->second;
    if (isNew) {
      entry.typeName = fmt::format("t_{}", nextTypeNumber++);
      StructureTypeRecord structure = encodeStructureTypeRecord(type->first);
      entry.totalSize = structure.totalSize;
      records.push_back(makeRecord(dataTypesKey, entry.typeName, std::move(structure.text)));
    }
    updateChannel_.assign(valueStreamPrefix).append(1, ':').append(name);
    std::string record = encodeDataPointRecord(name, entry.typeName, entry.totalSize, updateChannel_);
    records.push_back(makeRecord(dataPointsKey, name, std::move(record)));
  }
}

}  // namespace ormanta::plugins::TulService
