#pragma once

// The JSON texts of a registration: service record, enumeration type records, structure type
// records and data point records. Each is encoded by the host's JSON encoder in its compact
// format into a StringOutputStream. Plain functions: any thread, no shared state.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "ormanta/utils/json/Encoder.h"
#include "registration/DataPointCatalogue.h"

namespace ormanta::plugins::TulService {

// Every record uses this one encoder format (1: no white space).
inline constexpr int kRecordFormat = utils::json::encoder::kFormatCompact;

// {"dataPointsKey":…,"dataTypesKey":…,"cmdChn":…}
std::string encodeServiceRecord(std::string_view dataPointsKey, std::string_view dataTypesKey,
                                std::string_view commandStreamKey);

// {"enumValues":[names…]}
std::string encodeEnumerationTypeRecord(std::span<const std::string_view> names);

// The host's texts of data::Quality 0 to 3 and model::ElementCategory 0 to 15, in value order.
const std::array<std::string_view, 4>& qualityNames();
const std::array<std::string_view, 16>& elementCategoryNames();

struct StructureTypeRecord {
  std::string text;
  std::uint64_t totalSize = 0;  // the sum of the members' sizes
};

// [{"name":".<attr>","type":…,"size":…,"access":…,"updateChn":".<attr>"}…] in the list's
// order. Throws what describeNativeType and accessText throw.
StructureTypeRecord encodeStructureTypeRecord(const MemberList& members);

// {"name":…,"type":…,"size":…,"access":"b","updateChn":…}
std::string encodeDataPointRecord(std::string_view name, std::string_view typeName, std::uint64_t totalSize,
                                  std::string_view updateChannel);

}  // namespace ormanta::plugins::TulService
