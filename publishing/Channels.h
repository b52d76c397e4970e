#pragma once

// Channels: the channels of one service (one per subscribed member) and what they share with
// the data worker. The command worker changes the set (updateChannels), host threads report
// changes through the channels, the data worker takes the changed channels and publishes them.
//
// Threads and guards:
// - map_ and retired_ (and every channel's subscribers) are guarded by mutex_; only update()
//   (updateChannels) writes them, the data worker takes retired_ over under it.
// - The change path (host threads) and the signal are lock-free: changed_ (a lock-free stack),
//   changesPending_ and sampleSignal_, which collapse a batch of changes into one release.
// - The data worker is the only acquirer of sampleSignal_.

#include <atomic>
#include <chrono>
#include <memory>
#include <semaphore>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "commands/Subscription.h"
#include "ormanta/model/Element.h"
#include "plugin/ThreadSafety.h"
#include "publishing/Channel.h"

namespace ormanta::plugins::TulService {

// Member path (as the subscribers gave it) to the channel that watches that member.
using ChannelMap = std::unordered_map<std::string, std::shared_ptr<Channel>>;
using ChannelList = std::vector<std::shared_ptr<Channel>>;

class Channels {
 public:
  Channels() = default;
  Channels(const Channels&) = delete;
  Channels& operator=(const Channels&) = delete;

  // ---- the change path: host threads, no lock, no allocation ----
  // Queues channel as changed (once: see ChangedChannels).
  void queueChanged(Channel& channel) noexcept { changed_.push(channel); }
  void markPending() noexcept { changesPending_.store(true); }
  // Releases the signal once for the changes marked pending since the last release.
  void signalPending() noexcept;
  // Signals without a member's change (a new channel, a stop, a finished registration run):
  // releases times (benchmarks release many at once) and takes back what is marked pending.
  void signal(std::ptrdiff_t times = 1) noexcept;

  // ---- the data worker ----
  // Waits for a release at most timeout; true when it took one.
  bool waitForSignal(std::chrono::milliseconds timeout) noexcept {
    return sampleSignal_.try_acquire_for(timeout);
  }
  // Takes every release made so far: one pass serves them all.
  void drainSignal() noexcept;
  Channel* takeChanged() noexcept { return changed_.takeAll(); }
  void putBackChanged(Channel* first) noexcept { changed_.pushChain(first); }
  // Swaps retired_ with into (empty): the channels that left the map since the last call, which
  // the caller keeps alive until it has passed over the changed stack.
  void takeRetired(ChannelList& into) TUL_EXCLUDES(mutex_);

  // ---- the command worker: updateChannels ----
  // Under the lock: attaches subscription to the channels of added (whose resolved members are
  // attributes; names that resolved to nothing are passed over), making channels that do not
  // exist yet, their value streams named after keyPrefix; detaches it from those of removed,
  // retiring channels left without subscribers; signals the data worker when a channel is new,
  // has a new subscriber or a new interval. A removed name that the subscription still holds (it
  // named a member twice) keeps it on the member's channel. Throws what allocations and the
  // host's handler lists throw, leaving no half-made channel and no unowned one on the stack.
  void update(std::string_view keyPrefix, const std::vector<std::string>& added,
              const std::vector<model::ElementAttribute>& attributes, const std::vector<std::string>& removed,
              const Subscription& subscription) TUL_EXCLUDES(mutex_);

  // ---- any thread, under the lock (tests and tools) ----
  std::shared_ptr<Channel> find(const std::string& memberPath) const TUL_EXCLUDES(mutex_);
  std::vector<std::string> names() const TUL_EXCLUDES(mutex_);  // sorted
  // Whether the channel of memberPath exists and has subscription among its subscribers.
  bool subscribed(const std::string& memberPath, const Subscription& subscription) const TUL_EXCLUDES(mutex_);
  // Whether the map or the retired list keeps channel alive.
  bool owns(const Channel* channel) const TUL_EXCLUDES(mutex_);

 private:
  friend class Channel;

  // A new channel in the map, subscribed and listening; see update().
  void insert(std::string_view keyPrefix, const std::string& name, const model::ElementAttribute& attribute,
              const Subscription& subscription) TUL_REQUIRES(mutex_);
  // Room for one more retired channel, made before a channel may land on the changed stack:
  // taking a channel out of use must not need memory.
  void reserveRetired() TUL_REQUIRES(mutex_);
  // The channel stops listening; retired_ keeps it alive until the data worker has passed over
  // it (it may still sit on the changed stack). Room was reserved.
  void retire(std::shared_ptr<Channel> channel) noexcept TUL_REQUIRES(mutex_);

  mutable Mutex mutex_;
  ChannelMap map_ TUL_GUARDED_BY(mutex_){8};
  ChannelList retired_ TUL_GUARDED_BY(mutex_);  // left the map; the data worker takes them over
  ChangedChannels changed_;
  std::atomic<bool> changesPending_{false};
  std::counting_semaphore<> sampleSignal_{0};
};

}  // namespace ormanta::plugins::TulService
