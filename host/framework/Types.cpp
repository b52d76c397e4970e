#include "ormanta/data/Types.h"

#include <array>
#include <string>

#include "ormanta/model/ElementCategory.h"

namespace ormanta {
namespace data {

std::string_view toBasicString(Quality quality) noexcept {
  static constexpr std::array<std::string_view, kQualityCount> kNames = {"Good", "Uncertain", "Bad",
                                                                         "NotConnected"};
  const auto index = static_cast<std::size_t>(quality);
  return index < kNames.size() ? kNames[index] : std::string_view("Unknown");
}

NativeType nativeTypeOf(DataType type) noexcept {
  switch (type) {
    case DataType::kBoolean:
      return NativeType::kBool;
    case DataType::kInteger:
      return NativeType::kInt;
    case DataType::kUnsigned:
      return NativeType::kUInt;
    case DataType::kReal:
      return NativeType::kDouble;
    case DataType::kString:
      return NativeType::kString;
    case DataType::kTimePoint:
      return NativeType::kTimePoint;
    case DataType::kUuid:
      return NativeType::kUuid;
    case DataType::kQuality:
      return NativeType::kQuality;
    case DataType::kCategory:
      return NativeType::kCategory;
    case DataType::kErrorCode:
      return NativeType::kErrorCode;
    default:
      return NativeType::kBinary;
  }
}

bool holdsNativeType(const Value& value, NativeType type) noexcept {
  switch (type) {
    case NativeType::kBool:
      return std::holds_alternative<bool>(value);
    case NativeType::kInt:
      return std::holds_alternative<std::int64_t>(value);
    case NativeType::kUInt:
      return std::holds_alternative<std::uint64_t>(value);
    case NativeType::kDouble:
      return std::holds_alternative<double>(value);
    case NativeType::kString:
    case NativeType::kText:
    case NativeType::kPath:
    case NativeType::kName:
    case NativeType::kJson:
      return std::holds_alternative<std::string>(value);
    case NativeType::kTimePoint:
      return std::holds_alternative<utils::chrono::TimePoint>(value);
    case NativeType::kUuid:
      return std::holds_alternative<utils::core::Uuid>(value);
    case NativeType::kQuality:
      return std::holds_alternative<Quality>(value);
    case NativeType::kCategory:
      return std::holds_alternative<model::ElementCategory>(value);
    case NativeType::kErrorCode:
      return std::holds_alternative<std::error_code>(value);
    default:
      return false;
  }
}

namespace {

class HandleErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "ormanta.data"; }
  std::string message(int value) const override {
    switch (static_cast<HandleError>(value)) {
      case HandleError::kNoAttribute:
        return "the element has no such attribute";
      case HandleError::kRemoved:
        return "the element or attribute no longer exists";
      case HandleError::kTypeMismatch:
        return "the value type does not match the attribute's native type";
      case HandleError::kNoValueType:
        return "the attribute's native type has no value type";
      case HandleError::kOutOfRange:
        return "the value does not fit the attribute's bit size";
      case HandleError::kNotObservable:
        return "changes of this value cannot be observed";
      case HandleError::kNoValue:
        return "the attribute has no value yet";
    }
    return "unknown handle error " + std::to_string(value);
  }
};

}  // namespace

const std::error_category& handleErrorCategory() noexcept {
  static const HandleErrorCategory category;
  return category;
}

std::error_code make_error_code(HandleError error) noexcept {
  return {static_cast<int>(error), handleErrorCategory()};
}

}  // namespace data

namespace model {

std::string_view toBasicString(ElementCategory category) noexcept {
  static constexpr std::array<std::string_view, kElementCategoryCount> kNames = {
      "Generic", "Area",  "Unit", "Equipment", "Device", "Sensor",   "Actuator", "Controller",
      "Drive",   "Valve", "Pump", "Motor",     "Tank",   "Conveyor", "Service",  "Folder"};
  const auto index = static_cast<std::size_t>(category);
  return index < kNames.size() ? kNames[index] : std::string_view("Unknown");
}

}  // namespace model
}  // namespace ormanta

#include "ormanta/model/Attribute.h"

namespace ormanta::model {

// The error role: its UUID, its name and the role's value.
const Attribute::Role Attribute::kError = {
    utils::core::Uuid::fromRawData(
        {0x0e, 0x77, 0x0f, 0x5a, 0x6c, 0x1b, 0x4d, 0x2e, 0x9a, 0x41, 0x3b, 0x58, 0x7c, 0x20, 0xe1, 0x0d}),
    "error", 1};

}  // namespace ormanta::model
