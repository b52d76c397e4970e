#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "ormanta/utils/Expected.h"
#include "ormanta/utils/chrono/TimePoint.h"

namespace ormanta::utils::chrono {

// Longest text formatIsoDateTime can produce ("+31197-09-14T02:48:05.4775807+23:59" is 35).
inline constexpr std::size_t kMaxIsoDateTimeLength = 35;

// Writes the ISO 8601 text of t: "YYYY-MM-DDThh:mm:ss.fffffff" followed by "Z" when no
// offset is given, else by the offset as "+hh:mm" / "-hh:mm" (local time = UTC + offset).
// Always seven fraction digits (the tick resolution). Years outside 0000..9999 use the
// expanded form with a sign and at least five digits ("+10000", "-00001").
// Returns the length the text needs; writes min(length, capacity) characters.
// Throws std::invalid_argument when |offsetMinutes| exceeds 23:59.
std::size_t formatIsoDateTime(char* buffer, std::size_t capacity, TimePoint time,
                              std::optional<std::int32_t> offsetMinutes = std::nullopt);

// Reads the text formatIsoDateTime writes, and the usual shorter forms: fraction of 0 to 9
// digits (digits beyond 7 are cut), "Z" or "+hh:mm"/"-hh:mm"/"+hhmm", a space instead of
// "T", a date alone ("2026-12-06" is midnight UTC). Errors: std::errc::invalid_argument.
Expected<TimePoint> parseIsoDateTime(std::string_view text) noexcept;

}  // namespace ormanta::utils::chrono
