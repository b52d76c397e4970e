#pragma once

// Values of the host's model as text, both ways: the runner's `read` and `write` commands and
// the model file use the same text forms as the service's value streams.

#include <optional>
#include <string>
#include <string_view>

#include "ormanta/data/Types.h"

namespace ormanta::apps {

// The model file's type names: "bool", "int", "uint", "double", "string", "time", "uuid",
// "quality", "category", "errorCode", "unsupported"; empty for none of them.
std::optional<data::NativeType> nativeTypeFromName(std::string_view name) noexcept;
std::string_view nativeTypeName(data::NativeType type) noexcept;

// The value-stream text of a value: "true"/"false", decimal integers, shortest round-trip
// doubles ("21.5", "1e+20", "nan"), texts unchanged, ISO 8601 UTC time points with seven
// fraction digits, 36-character UUIDs, quality and category names, error code messages.
// Empty for std::monostate (a type without values).
std::optional<std::string> valueText(const data::Value& value);

// Parses text as a value of type, in the forms valueText writes (and, for qualities and
// categories, also their numbers; for error codes a number: 0 is "no error", any other
// value an errno-style code of std::generic_category()). The whole text must be used.
// Throws std::invalid_argument naming the problem.
data::Value parseValueText(data::NativeType type, std::string_view text);

// Quality and category by name or number; empty when text is neither.
std::optional<data::Quality> parseQuality(std::string_view text) noexcept;
std::optional<model::ElementCategory> parseCategory(std::string_view text) noexcept;

// An error code from its number, as parseValueText makes it.
std::error_code errorCodeFromNumber(std::int64_t value) noexcept;

}  // namespace ormanta::apps
