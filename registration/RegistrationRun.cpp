#include "registration/RegistrationRun.h"

#include <fmt/format.h>

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

RegistrationRun::RegistrationRun(RedisConnection& connection, std::string serviceName)
    : connection(&connection),
      serviceName(std::move(serviceName)),
      valueStreamPrefix(fmt::format("{}Value", this->serviceName)),
      servicesKey("Services"),
      commandStreamKey(fmt::format("{}.Commands", this->serviceName)),
      dataPointsKey(fmt::format("{}.DataPoints", this->serviceName)),
      dataTypesKey(fmt::format("{}.DataTypes", this->serviceName)) {}

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

void RegistrationRun::writeDataPoints(DataPointCatalogue& catalogue) {
  // Encoded whole before anything is sent: a member that cannot be described leaves the
  // data point hash untouched.
  const std::vector<RedisRecord> records = encodeDataPoints(catalogue);
  connection->hset(records);
}

std::vector<RedisRecord> RegistrationRun::encodeDataPoints(DataPointCatalogue& catalogue) {
  std::vector<RedisRecord> records;
  // One record per data point plus one per distinct member list, of which a model has few.
  records.reserve(catalogue.size() + 16);
  for (auto& [name, members] : catalogue) {
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
  return records;
}

}  // namespace ormanta::plugins::TulService
