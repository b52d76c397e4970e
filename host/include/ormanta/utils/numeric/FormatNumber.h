#pragma once

#include <cstddef>
#include <cstdint>

namespace ormanta::utils::numeric {

// Each writes the number's text into buffer and returns the length the text needs; when
// that exceeds capacity only capacity characters are written (callers compare the result).
//
// Integers: plain decimal, "-" for negatives, no padding (INT64_MIN needs 20 characters).
// Doubles: the shortest text that reads back to the same double (std::to_chars), fixed or
// scientific, whichever is shorter ("0.1", "1e+20", "-2.5e-07", "100"); "inf", "-inf",
// "nan" for the special values. Never longer than 24 characters.
std::size_t formatNumber(char* buffer, std::size_t capacity, std::int64_t value) noexcept;
std::size_t formatNumber(char* buffer, std::size_t capacity, std::uint64_t value) noexcept;
std::size_t formatNumber(char* buffer, std::size_t capacity, double value) noexcept;

}  // namespace ormanta::utils::numeric
