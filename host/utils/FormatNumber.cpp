#include "ormanta/utils/numeric/FormatNumber.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

namespace ormanta::utils::numeric {
namespace {

// Longer than any text below: 20 for 64-bit integers, 24 for the longest shortest double.
constexpr std::size_t kScratchSize = 32;

std::size_t copyOut(char* buffer, std::size_t capacity, std::string_view text) noexcept {
  const std::size_t count = text.size() < capacity ? text.size() : capacity;
  if (count > 0) std::memcpy(buffer, text.data(), count);
  return text.size();
}

template <class Number>
std::size_t formatWithToChars(char* buffer, std::size_t capacity, Number value) noexcept {
  char scratch[kScratchSize];
  // Cannot fail: the scratch buffer holds every text of these types.
  const auto result = std::to_chars(scratch, scratch + kScratchSize, value);
  return copyOut(buffer, capacity, std::string_view(scratch, static_cast<std::size_t>(result.ptr - scratch)));
}

}  // namespace

std::size_t formatNumber(char* buffer, std::size_t capacity, std::int64_t value) noexcept {
  return formatWithToChars(buffer, capacity, value);
}

std::size_t formatNumber(char* buffer, std::size_t capacity, std::uint64_t value) noexcept {
  return formatWithToChars(buffer, capacity, value);
}

std::size_t formatNumber(char* buffer, std::size_t capacity, double value) noexcept {
  // to_chars would write "-nan" for a NaN with the sign bit set; a NaN has no useful sign.
  if (std::isnan(value)) return copyOut(buffer, capacity, "nan");
  return formatWithToChars(buffer, capacity, value);
}

}  // namespace ormanta::utils::numeric
