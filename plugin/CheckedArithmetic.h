#pragma once

// Saturating 64-bit arithmetic for time points and intervals. Peers choose sampling intervals
// freely (negative and huge ones included), so sums and products clamp to the range instead of
// overflowing. Plain C++: the plug-in builds with any C++20 compiler.

#include <cstdint>
#include <limits>

namespace ormanta::plugins::TulService {

inline constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
inline constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();

constexpr std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) noexcept {
  if (b > 0 && a > kInt64Max - b) return kInt64Max;
  if (b < 0 && a < kInt64Min - b) return kInt64Min;
  return a + b;
}

constexpr std::int64_t saturatingSub(std::int64_t a, std::int64_t b) noexcept {
  if (b < 0 && a > kInt64Max + b) return kInt64Max;
  if (b > 0 && a < kInt64Min + b) return kInt64Min;
  return a - b;
}

// a × factor for a positive factor.
constexpr std::int64_t saturatingScale(std::int64_t a, std::int64_t factor) noexcept {
  if (a > kInt64Max / factor) return kInt64Max;
  if (a < kInt64Min / factor) return kInt64Min;
  return a * factor;
}

}  // namespace ormanta::plugins::TulService
