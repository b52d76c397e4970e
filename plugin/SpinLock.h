#pragma once

#include <atomic>
#include <cstdint>

#include "plugin/CpuRelax.h"

namespace ormanta::plugins::TulService {

// Guards a handler's lastError copy. Held only for the copy of one error code, so a spin
// with a processor yield beats parking the thread.
class SpinLockGuard {
 public:
  explicit SpinLockGuard(std::atomic<std::uint32_t>& word) noexcept : word_(word) {
    while (word_.exchange(1, std::memory_order_acquire) == 1) {
      while (word_.load(std::memory_order_relaxed) == 1) cpuRelax();
    }
  }
  ~SpinLockGuard() { word_.store(0, std::memory_order_release); }
  SpinLockGuard(const SpinLockGuard&) = delete;
  SpinLockGuard& operator=(const SpinLockGuard&) = delete;

 private:
  std::atomic<std::uint32_t>& word_;
};

}  // namespace ormanta::plugins::TulService
