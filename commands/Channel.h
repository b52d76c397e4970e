#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <vector>

#include "commands/Subscription.h"
#include "ormanta/data/Handles.h"
#include "ormanta/process/EventHandler.h"

namespace ormanta::plugins::TulService {

class Service;

// Watches one subscribed member for the data worker: notes that the member changed and
// carries the shortest sampling interval of its subscribers.
//
// Threads and guards:
// - onChange/afterChanges run on host threads and touch only atomics (changed, the owner's
//   changesPending and sampleSignal): no lock, no allocation.
// - attach/detach/addSubscriber/removeSubscriber run under the owner's channelMutex (the
//   command worker's updateChannels); subscribers is guarded by that mutex.
// - nextDue/markSampled/isChanged run on the data worker; lastSampleTime is its alone.
// - samplingInterval is stored under channelMutex and loaded by the data worker without it.
class Channel final : public process::EventHandler {
 public:
  static constexpr std::int64_t kNeverSampled = std::numeric_limits<std::int64_t>::min();

  Channel(Service& owner, data::ReadHandle readHandle);

  // Marks the channel changed, so that it is published at the next pass, and starts
  // listening to the member's changes. Returns the host's error if it refuses the handler.
  std::error_code attach();
  void detach() noexcept;

  // Adds s (once); returns true when s lowered the channel's interval.
  bool addSubscriber(const Subscription& s);
  // Removes s; returns true when the interval was recomputed from the remaining subscribers.
  bool removeSubscriber(const Subscription& s);
  bool hasSubscribers() const noexcept { return !subscribers_.empty(); }

  void onChange() override;
  void afterChanges() override;

  // When the channel may be published next, in 100-ns system-clock ticks. Saturates instead
  // of overflowing: a channel never sampled is due at once whatever its interval.
  std::int64_t nextDue() const noexcept;
  void markSampled(std::int64_t time) noexcept;
  bool isChanged() const noexcept { return changed_.load(); }
  std::int64_t samplingInterval() const noexcept { return samplingInterval_.load(); }
  const data::ReadHandle& readHandle() const noexcept { return readHandle_; }

 private:
  Service* owner_;
  data::ReadHandle readHandle_;
  std::atomic<bool> changed_{false};
  std::atomic<std::int64_t> samplingInterval_{Subscription::kDefaultSamplingIntervalMs};
  std::int64_t lastSampleTime_ = kNeverSampled;       // data worker only
  std::vector<const Subscription*> subscribers_;      // guarded by the owner's channelMutex
};

// a + b for ticks, clamped to the int64 range.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) noexcept;
// milliseconds × 10,000 ticks, clamped to the int64 range.
std::int64_t millisecondsToTicks(std::int64_t milliseconds) noexcept;

}  // namespace ormanta::plugins::TulService
