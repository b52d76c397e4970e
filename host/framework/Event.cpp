#include "ormanta/process/Event.h"

#include <algorithm>

namespace ormanta::process {

void Event::raise(utils::chrono::TimePoint timestamp) {
  // Observers run under the lock, so that one removed is never called afterwards.
  std::lock_guard lock(mutex_);
  ++count_;
  last_ = timestamp;
  for (auto& [id, observer] : observers_) {
    try {
      observer(timestamp);
    } catch (...) {
      // An observer's failure is the host's own business; the raise itself succeeded.
    }
  }
}

std::uint64_t Event::raiseCount() const {
  std::lock_guard lock(mutex_);
  return count_;
}

std::optional<utils::chrono::TimePoint> Event::lastRaised() const {
  std::lock_guard lock(mutex_);
  return last_;
}

std::uint64_t Event::addObserver(Observer observer) {
  std::lock_guard lock(mutex_);
  const std::uint64_t id = nextObserverId_++;
  observers_.emplace_back(id, std::move(observer));
  return id;
}

void Event::removeObserver(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

}  // namespace ormanta::process
