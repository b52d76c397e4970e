#include "host/ValueConversion.h"

#include <array>
#include <charconv>
#include <stdexcept>

#include "ormanta/utils/chrono/IsoDateTime.h"
#include "ormanta/utils/numeric/FormatNumber.h"

namespace ormanta::apps {
namespace {

using data::NativeType;

struct TypeName {
  std::string_view name;
  NativeType type;
};

constexpr std::array<TypeName, 11> kTypeNames = {{
    {"bool", NativeType::kBool},
    {"int", NativeType::kInt},
    {"uint", NativeType::kUInt},
    {"double", NativeType::kDouble},
    {"string", NativeType::kString},
    {"time", NativeType::kTimePoint},
    {"uuid", NativeType::kUuid},
    {"quality", NativeType::kQuality},
    {"category", NativeType::kCategory},
    {"errorCode", NativeType::kErrorCode},
    {"unsupported", NativeType::kBinary},
}};

template <class Number>
std::string numberText(Number number) {
  char buffer[32];
  const std::size_t length = utils::numeric::formatNumber(buffer, sizeof buffer, number);
  return std::string(buffer, std::min(length, sizeof buffer));
}

// Whole-text integer reading: from_chars alone would accept "12abc".
template <class Integer>
std::optional<Integer> parseWholeInteger(std::string_view text) noexcept {
  Integer value{};
  const char* end = text.data() + text.size();
  auto [next, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || next != end || text.empty()) return std::nullopt;
  return value;
}

[[noreturn]] void refuse(NativeType type, std::string_view text, std::string_view expected) {
  throw std::invalid_argument("\"" + std::string(text) + "\" is not a valid " +
                              std::string(nativeTypeName(type)) + " value (expected " +
                              std::string(expected) + ")");
}

data::Value parseBool(std::string_view text) {
  if (text == "true") return true;
  if (text == "false") return false;
  refuse(NativeType::kBool, text, "true or false");
}

data::Value parseDouble(std::string_view text) {
  double value = 0;
  const char* end = text.data() + text.size();
  auto [next, error] = std::from_chars(text.data(), end, value, std::chars_format::general);
  if (text.empty() || error != std::errc() || next != end)
    refuse(NativeType::kDouble, text, "a decimal number");
  return value;
}

data::Value parseTime(std::string_view text) {
  utils::Expected<utils::chrono::TimePoint> time = utils::chrono::parseIsoDateTime(text);
  if (!time) refuse(NativeType::kTimePoint, text, "an ISO 8601 time such as 2026-12-06T08:43:04.1234567Z");
  return *time;
}

data::Value parseUuid(std::string_view text) {
  utils::Expected<utils::core::Uuid> uuid = utils::core::Uuid::fromStringInternal(text);
  if (!uuid) refuse(NativeType::kUuid, text, "a UUID such as 595e1ee2-95ca-4ce0-883f-535893cb4b7c");
  return *uuid;
}

}  // namespace

std::optional<data::NativeType> nativeTypeFromName(std::string_view name) noexcept {
  for (const TypeName& entry : kTypeNames) {
    if (entry.name == name) return entry.type;
  }
  return std::nullopt;
}

std::string_view nativeTypeName(data::NativeType type) noexcept {
  switch (type) {
    case NativeType::kText:
    case NativeType::kPath:
    case NativeType::kName:
    case NativeType::kJson:
      return "string";
    case NativeType::kStructure:
      return "unsupported";
    default:
      break;
  }
  for (const TypeName& entry : kTypeNames) {
    if (entry.type == type) return entry.name;
  }
  return "unsupported";
}

std::optional<data::Quality> parseQuality(std::string_view text) noexcept {
  for (int i = 0; i < data::kQualityCount; ++i) {
    if (data::toBasicString(static_cast<data::Quality>(i)) == text) return static_cast<data::Quality>(i);
  }
  if (auto number = parseWholeInteger<int>(text); number && *number >= 0 && *number < data::kQualityCount) {
    return static_cast<data::Quality>(*number);
  }
  return std::nullopt;
}

std::optional<model::ElementCategory> parseCategory(std::string_view text) noexcept {
  for (int i = 0; i < model::kElementCategoryCount; ++i) {
    if (model::toBasicString(static_cast<model::ElementCategory>(i)) == text) {
      return static_cast<model::ElementCategory>(i);
    }
  }
  if (auto number = parseWholeInteger<int>(text);
      number && *number >= 0 && *number < model::kElementCategoryCount) {
    return static_cast<model::ElementCategory>(*number);
  }
  return std::nullopt;
}

std::error_code errorCodeFromNumber(std::int64_t value) noexcept {
  // 0 is the host's default code, so that it reads back as "no error" wherever codes are compared.
  if (value == 0) return {};
  return std::error_code(static_cast<int>(value), std::generic_category());
}

std::optional<std::string> valueText(const data::Value& value) {
  struct Visitor {
    std::optional<std::string> operator()(std::monostate) const { return std::nullopt; }
    std::optional<std::string> operator()(bool v) const { return std::string(v ? "true" : "false"); }
    std::optional<std::string> operator()(std::int64_t v) const { return numberText(v); }
    std::optional<std::string> operator()(std::uint64_t v) const { return numberText(v); }
    std::optional<std::string> operator()(double v) const { return numberText(v); }
    std::optional<std::string> operator()(const std::string& v) const { return v; }
    std::optional<std::string> operator()(utils::chrono::TimePoint v) const {
      char buffer[64];
      const std::size_t length = utils::chrono::formatIsoDateTime(buffer, sizeof buffer, v);
      return std::string(buffer, std::min(length, sizeof buffer));
    }
    std::optional<std::string> operator()(const utils::core::Uuid& v) const { return v.toString(); }
    std::optional<std::string> operator()(data::Quality v) const {
      return std::string(data::toBasicString(v));
    }
    std::optional<std::string> operator()(model::ElementCategory v) const {
      return std::string(model::toBasicString(v));
    }
    std::optional<std::string> operator()(const std::error_code& v) const { return v.message(); }
  };
  return std::visit(Visitor{}, value);
}

data::Value parseValueText(data::NativeType type, std::string_view text) {
  switch (type) {
    case NativeType::kBool:
      return parseBool(text);
    case NativeType::kInt:
      if (auto v = parseWholeInteger<std::int64_t>(text)) return *v;
      refuse(type, text, "a decimal integer");
    case NativeType::kUInt:
      if (auto v = parseWholeInteger<std::uint64_t>(text)) return *v;
      refuse(type, text, "decimal digits");
    case NativeType::kDouble:
      return parseDouble(text);
    case NativeType::kString:
    case NativeType::kText:
    case NativeType::kPath:
    case NativeType::kName:
    case NativeType::kJson:
      return std::string(text);
    case NativeType::kTimePoint:
      return parseTime(text);
    case NativeType::kUuid:
      return parseUuid(text);
    case NativeType::kQuality:
      if (auto v = parseQuality(text)) return *v;
      refuse(type, text, "Good, Uncertain, Bad, NotConnected or 0 to 3");
    case NativeType::kCategory:
      if (auto v = parseCategory(text)) return *v;
      refuse(type, text, "a category name such as Pump, or 0 to 15");
    case NativeType::kErrorCode:
      if (auto v = parseWholeInteger<std::int32_t>(text)) return errorCodeFromNumber(*v);
      refuse(type, text, "an error number");
    default:
      throw std::invalid_argument("values of this attribute's type cannot be written");
  }
}

}  // namespace ormanta::apps
