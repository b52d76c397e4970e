#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <variant>

#include "ormanta/model/ElementCategory.h"
#include "ormanta/utils/chrono/TimePoint.h"
#include "ormanta/utils/core/Uuid.h"

namespace ormanta::data {

// The value type behind a handle. Codes 4 to 8 are all held as std::string; 14 and 15 have
// no value type (such attributes can be neither read nor written through handles).
enum class NativeType : std::int32_t {
  kBool = 0,
  kInt = 1,         // std::int64_t, bit size 8, 16, 32 or 64
  kUInt = 2,        // std::uint64_t, bit size 8, 16, 32 or 64
  kDouble = 3,      // double, bit size 32 or 64
  kString = 4,      // std::string
  kText = 5,        // std::string (human-readable, localised)
  kPath = 6,        // std::string (element path)
  kName = 7,        // std::string (identifier)
  kJson = 8,        // std::string (JSON text)
  kTimePoint = 9,   // utils::chrono::TimePoint
  kUuid = 10,       // utils::core::Uuid
  kQuality = 11,    // data::Quality
  kCategory = 12,   // model::ElementCategory
  kErrorCode = 13,  // std::error_code
  kBinary = 14,     // no value type
  kStructure = 15,  // no value type
};

// The declared type of an attribute definition.
enum class DataType : std::int32_t {
  kBoolean = 0,
  kInteger = 1,
  kUnsigned = 2,
  kReal = 3,
  kString = 4,
  kTimePoint = 5,
  kUuid = 6,
  kQuality = 7,
  kCategory = 8,
  kErrorCode = 9,
  kBinary = 10,
};

// Signal quality of a value (4 values).
enum class Quality : std::uint8_t { kGood = 0, kUncertain = 1, kBad = 2, kNotConnected = 3 };
inline constexpr int kQualityCount = 4;

// "Good", "Uncertain", "Bad", "NotConnected"; "Unknown" for any other value.
std::string_view toBasicString(Quality quality) noexcept;

// A value of any native type; std::monostate stands for "no value type" (codes 14, 15).
using Value = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string,
                           utils::chrono::TimePoint, utils::core::Uuid, Quality, model::ElementCategory,
                           std::error_code>;

// The value type a native type code is read and written as; std::monostate for none.
NativeType nativeTypeOf(DataType type) noexcept;
bool holdsNativeType(const Value& value, NativeType type) noexcept;

// Errors that handles report besides std::errc::permission_denied (access mode refuses).
enum class HandleError {
  kNoAttribute = 1,    // "the element has no such attribute"
  kRemoved = 2,        // "the element or attribute no longer exists"
  kTypeMismatch = 3,   // "the value type does not match the attribute's native type"
  kNoValueType = 4,    // "the attribute's native type has no value type"
  kOutOfRange = 5,     // "the value does not fit the attribute's bit size"
  kNotObservable = 6,  // "changes of this value cannot be observed"
  kNoValue = 7,        // "the attribute has no value yet"
};
const std::error_category& handleErrorCategory() noexcept;
std::error_code make_error_code(HandleError error) noexcept;  // NOLINT: ADL hook

}  // namespace ormanta::data

template <>
struct std::is_error_code_enum<ormanta::data::HandleError> : std::true_type {};
