#pragma once

#include <chrono>
#include <cstdint>

namespace ormanta::utils::chrono {

// Host time: system-clock time points counted in 100-nanosecond ticks.
using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
using TimePoint = std::chrono::time_point<std::chrono::system_clock, Ticks>;

inline constexpr std::int64_t kTicksPerMillisecond = 10'000;

inline TimePoint now() noexcept {
  return std::chrono::time_point_cast<Ticks>(std::chrono::system_clock::now());
}

}  // namespace ormanta::utils::chrono
