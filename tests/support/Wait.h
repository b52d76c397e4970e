#pragma once

#include <chrono>
#include <thread>

namespace tul::test {

// How many times longer a bound on time may be under the sanitizers, which slow every thread
// (and every atomic operation) down several times.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr int kSanitizerSlowdown = 5;
#else
inline constexpr int kSanitizerSlowdown = 1;
#endif

// Polls pred until it holds or timeout passes; returns its last value.
template <class Pred>
bool waitUntil(Pred pred, std::chrono::milliseconds timeout,
               std::chrono::milliseconds poll = std::chrono::milliseconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(poll);
  }
  return true;
}

}  // namespace tul::test
