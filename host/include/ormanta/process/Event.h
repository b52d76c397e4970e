#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "ormanta/utils/chrono/TimePoint.h"

namespace ormanta::process {

// An event an element raises. Every raise is counted with its time stamp and passed to the
// host's observers on the raising thread.
class Event {
 public:
  enum Role : std::int32_t { kConnected = 1, kDisconnected = 2 };
  using Observer = std::function<void(utils::chrono::TimePoint)>;

  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void raise(utils::chrono::TimePoint timestamp);

  std::uint64_t raiseCount() const;
  std::optional<utils::chrono::TimePoint> lastRaised() const;

  // Host side. After removeObserver() returns the observer is never called again; observers
  // must not add or remove observers of the same event.
  std::uint64_t addObserver(Observer observer);
  void removeObserver(std::uint64_t id);

 private:
  mutable std::mutex mutex_;
  std::uint64_t count_ = 0;
  std::optional<utils::chrono::TimePoint> last_;
  std::uint64_t nextObserverId_ = 1;
  std::vector<std::pair<std::uint64_t, Observer>> observers_;
};

}  // namespace ormanta::process
