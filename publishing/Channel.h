#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/Subscription.h"
#include "ormanta/data/Handles.h"
#include "ormanta/process/EventHandler.h"
#include "plugin/CheckedArithmetic.h"
#include "plugin/ThreadSafety.h"

namespace ormanta::plugins::TulService {

class Channel;
class Channels;

// The channels whose member changed since the data worker last looked: a lock-free stack that
// host threads push onto and the data worker empties whole. A channel is on it at most once:
// it is pushed only when its `changed` flag goes from false to true, and only the data worker
// clears that flag, after it has taken the channel off the stack.
//
// Memory ordering: push publishes the channel's link with release; takeAll acquires, so the
// links it walks are complete. Entries are raw pointers: the channel map, the retired list
// (Channels) or the data worker keeps each channel alive while it is on the stack.
class ChangedChannels {
 public:
  // Any thread; no lock, no allocation.
  void push(Channel& channel) noexcept;
  // Data worker: the whole stack, newest first, linked through Channel::nextChanged().
  Channel* takeAll() noexcept;
  // Data worker: puts back a chain it took but could not process.
  void pushChain(Channel* first) noexcept;
  // The chain without its retired channels, relinked.
  static Channel* withoutRetired(Channel* first) noexcept;

 private:
  std::atomic<Channel*> head_{nullptr};
};

// Watches one subscribed member for the data worker: notes that the member changed and
// carries the shortest sampling interval of its subscribers.
//
// Threads and guards:
// - onChange/afterChanges run on host threads and touch only atomics (changed, the owner's
//   changed stack and signal): no lock, no allocation.
// - attach/detach/requestValue/retire and the subscriber operations run in updateChannels (the
//   command worker) under the owner's mutex, which guards subscribers.
// - take*/restoreChange/nextDue/markSampled/deferRetry/setRefused run on the data worker;
//   lastSampleTime, retryAt and refused are its alone.
// - samplingInterval is stored under the owner's mutex and loaded by the data worker without it.
class Channel final : public process::EventHandler, public std::enable_shared_from_this<Channel> {
 public:
  static constexpr std::int64_t kNeverSampled = kInt64Min;

  // valueStreamKey is "<service name>Value:<member path>", the member path as the subscribers
  // gave it.
  Channel(Channels& owner, data::ReadHandle readHandle, std::string valueStreamKey);

  // Marks the channel changed, so that it is published at the next pass, and starts
  // listening to the member's changes. Returns the host's error if it refuses the handler.
  std::error_code attach();
  void detach() noexcept;

  // Tells the analysis that the owner's mutex is held (by the caller, which took it through
  // Channels): the subscriber operations need it.
  void assertLocked() const TUL_ASSERT_CAPABILITY(lock_) {}
  // Adds s (once); returns true when s lowered the channel's interval.
  bool addSubscriber(const Subscription& s) TUL_REQUIRES(lock_);
  // Removes s; returns true when the interval was recomputed from the remaining subscribers.
  bool removeSubscriber(const Subscription& s) TUL_REQUIRES(lock_);
  bool hasSubscriber(const Subscription& s) const noexcept TUL_REQUIRES(lock_);
  bool hasSubscribers() const noexcept TUL_REQUIRES(lock_) { return !subscribers_.empty(); }
  // A new subscriber wants the current value: publish at the next pass, whatever the interval.
  void requestValue() noexcept;
  // The channel left the map; the data worker drops it when it meets it.
  void retire() noexcept { retired_.store(true); }

  void onChange() override;
  void afterChanges() override;

  // ---- data worker ----
  bool isChanged() const noexcept { return changed_.load(); }
  bool isRetired() const noexcept { return retired_.load(); }
  // Clears `changed` and says whether it was set. A change that lands afterwards sets it again
  // and queues the channel, so it is never lost to a pass in progress.
  bool takeChange() noexcept { return changed_.exchange(false); }
  // Sets `changed` again without queueing: only for a channel the data worker holds.
  void restoreChange() noexcept { changed_.store(true); }
  bool takeValueRequest() noexcept { return valueRequested_.exchange(false); }
  // When the channel may be published next, in 100-ns system-clock ticks. Saturates instead
  // of overflowing: a channel never sampled is due at once whatever its interval.
  std::int64_t nextDue() const noexcept;
  void markSampled(std::int64_t time) noexcept {
    lastSampleTime_ = time;
    retryAt_ = kNeverSampled;
  }
  // The value could not be read at `time`: try again after the interval (and not before
  // minimumMs), not at every pass.
  void deferRetry(std::int64_t time, std::int64_t minimumMs) noexcept;
  // Marks whether the server refuses the channel's value stream; returns the old mark.
  bool setRefused(bool refused) noexcept { return std::exchange(refused_, refused); }
  std::int64_t samplingInterval() const noexcept { return samplingInterval_.load(); }
  const data::ReadHandle& readHandle() const noexcept { return readHandle_; }
  // "<service name>Value:<member path>", formed once.
  const std::string& valueStreamKey() const noexcept { return valueStreamKey_; }
  Channel* nextChanged() const noexcept { return nextChanged_; }

 private:
  friend class ChangedChannels;

  // Sets `changed`; queues the channel when it was not set. Returns true if it queued it.
  bool markChanged() noexcept;

  Channels* owner_;
  Mutex& lock_;  // the owner's
  data::ReadHandle readHandle_;
  const std::string valueStreamKey_;
  std::atomic<bool> changed_{false};
  std::atomic<bool> valueRequested_{false};
  std::atomic<bool> retired_{false};
  std::atomic<std::int64_t> samplingInterval_{Subscription::kDefaultSamplingIntervalMs};
  Channel* nextChanged_ = nullptr;                // link on the changed stack
  std::int64_t lastSampleTime_ = kNeverSampled;   // data worker only
  std::int64_t retryAt_ = kNeverSampled;          // data worker only
  bool refused_ = false;                          // data worker only
  std::vector<const Subscription*> subscribers_ TUL_GUARDED_BY(lock_);
};

// milliseconds × 10,000 ticks, clamped to the int64 range.
std::int64_t millisecondsToTicks(std::int64_t milliseconds) noexcept;

}  // namespace ormanta::plugins::TulService
