#pragma once

#include <optional>
#include <string>

#include "ormanta/data/Handles.h"

namespace ormanta::plugins::TulService {

// The text a member's current value is published as, by the member's native type:
//   bool "true"/"false"; integers in decimal; doubles as the shortest text that reads back
//   to the same double ("21.5", "1e+20", "nan"); texts unchanged; time points as ISO 8601
//   UTC with seven fraction digits ("2026-12-06T08:43:04.1234567Z"); UUIDs in 36 lower-case
//   characters; qualities and categories by name ("Good", "Pump"); error codes as their
//   message ("no error").
// No text for a type without a value type (codes 14 and above) or when the value cannot be
// read now; that is not an error. Data worker thread; reads the value once.
std::optional<std::string> valueText(const data::ReadHandle& handle);

}  // namespace ormanta::plugins::TulService
