#pragma once

#include <atomic>
#include <cstdint>

namespace ormanta::utils::lockFree {

// A condition variable without a mutex. A waiter makes one Tracker for its whole loop,
// checks its condition, then waits:
//
//   ConditionVariable::Tracker tracker(cv);
//   while (!condition()) cv.wait(tracker);
//
// A notify_all() that happens after the tracker was made or last returned from wait() and
// before the next wait() makes that wait() return at once, so a notification between the
// check and the wait is never lost. wait() may also return for a notification that came
// before the check; waiters re-check their condition anyway.
//
// Memory ordering: notify_all() is a release operation and wait() acquires, so whatever the
// notifier wrote before notifying is visible to the woken waiter.
class ConditionVariable {
 public:
  class Tracker {
   public:
    explicit Tracker(const ConditionVariable& cv) noexcept
        : seen_(cv.epoch_.load(std::memory_order_acquire)) {}

   private:
    friend class ConditionVariable;
    std::uint32_t seen_;
  };

  ConditionVariable() noexcept = default;
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;

  void notify_all() noexcept;  // NOLINT(readability-identifier-naming): std-like name
  void wait(Tracker& tracker) const noexcept;

 private:
  std::atomic<std::uint32_t> epoch_{0};
};

}  // namespace ormanta::utils::lockFree
