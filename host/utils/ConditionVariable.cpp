#include "ormanta/utils/lockFree/ConditionVariable.h"

namespace ormanta::utils::lockFree {

void ConditionVariable::notify_all() noexcept {
  // The release increment publishes the notifier's writes to any waiter that sees the new epoch.
  epoch_.fetch_add(1, std::memory_order_release);
  epoch_.notify_all();
}

void ConditionVariable::wait(Tracker& tracker) const noexcept {
  // The tracker holds the epoch seen when the waiter last checked its condition; if a
  // notification came since, the epoch differs and we return without blocking.
  std::uint32_t current = epoch_.load(std::memory_order_acquire);
  if (current == tracker.seen_) {
    epoch_.wait(current, std::memory_order_acquire);
    current = epoch_.load(std::memory_order_acquire);
  }
  tracker.seen_ = current;
}

}  // namespace ormanta::utils::lockFree
