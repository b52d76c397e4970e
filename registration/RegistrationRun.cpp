#include "registration/RegistrationRun.h"

#include <fmt/format.h>

#include <system_error>
#include <utility>

#include "publishing/ValueStreams.h"
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

RegistrationRun::RegistrationRun(RedisAccess& connection, std::string serviceName, std::stop_token stop)
    : connection(&connection),
      serviceName(std::move(serviceName)),
      valueStreamPrefix(TulService::valueStreamPrefix(this->serviceName)),
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

void RegistrationRun::writeEnumerationType(std::string_view typeName,
                                           std::span<const std::string_view> names) {
  std::vector<RedisRecord> records;
  records.push_back(makeRecord(dataTypesKey, std::string(typeName), encodeEnumerationTypeRecord(names)));
  connection->hset(records);
}

void RegistrationRun::describeModel(const Service& service) { fillCatalogue(service, catalogue, stop_); }

void RegistrationRun::writeDataPoints(DataPointCatalogue& catalogue) {
  // Encoded whole before anything is sent, then sent as one pipelined batch.
  records.clear();
  encodeInto(catalogue);
  connection->hset(records);
}

std::vector<RedisRecord> RegistrationRun::encodeDataPoints(DataPointCatalogue& catalogue) {
  records.clear();
  encodeInto(catalogue);
  return std::exchange(records, {});
}

void RegistrationRun::checkStop() const {
  // A model of a million elements takes seconds to encode; a stop must not wait for it.
  if (stop_.stop_requested()) throw std::system_error(std::make_error_code(std::errc::operation_canceled));
}

void RegistrationRun::encodeInto(DataPointCatalogue& catalogue) {
  // Every member list is described first (a member that cannot be described throws before a
  // record is made). Each list moves into the type table or, when the table has an equal one,
  // is freed here, so that the catalogue shrinks to its names before the records are made.
  std::vector<const TypeEntry*> types;
  types.reserve(catalogue.size());
  for (auto& entry : catalogue) {
    checkStop();
    MemberList& members = entry.second;
    const auto [type, isNew] = typeTable.try_emplace(std::move(members));
    TypeEntry& typeEntry = type->second;
    if (isNew) {
      typeEntry.typeName = fmt::format("t_{}", nextTypeNumber++);
      StructureTypeRecord structure = encodeStructureTypeRecord(type->first);
      typeEntry.totalSize = structure.totalSize;
      records.push_back(makeRecord(dataTypesKey, typeEntry.typeName, std::move(structure.text)));
    }
    MemberList().swap(members);
    types.push_back(&typeEntry);
  }
  // The data point records. Each catalogue entry is taken out as its record is made, its name
  // moving into the record: a million names and records alive twice over would double the
  // run's memory.
  auto type = types.begin();
  while (!catalogue.empty()) {
    checkStop();
    auto entry = catalogue.extract(catalogue.begin());
    std::string& name = entry.key();
    assignValueStreamKey(updateChannel_, valueStreamPrefix, name);
    std::string record = encodeDataPointRecord(name, (*type)->typeName, (*type)->totalSize, updateChannel_);
    records.push_back(makeRecord(dataPointsKey, std::move(name), std::move(record)));
    ++type;
  }
}

}  // namespace ormanta::plugins::TulService
