#include "publishing/Channel.h"

#include <algorithm>

#include "ormanta/utils/chrono/TimePoint.h"
#include "publishing/Channels.h"

namespace ormanta::plugins::TulService {

std::int64_t millisecondsToTicks(std::int64_t milliseconds) noexcept {
  return saturatingScale(milliseconds, utils::chrono::kTicksPerMillisecond);
}

void ChangedChannels::push(Channel& channel) noexcept {
  Channel* head = head_.load(std::memory_order_relaxed);
  do {
    channel.nextChanged_ = head;
  } while (
      !head_.compare_exchange_weak(head, &channel, std::memory_order_release, std::memory_order_relaxed));
}

Channel* ChangedChannels::takeAll() noexcept { return head_.exchange(nullptr, std::memory_order_acquire); }

void ChangedChannels::pushChain(Channel* first) noexcept {
  if (first == nullptr) return;
  Channel* last = first;
  while (last->nextChanged_ != nullptr) last = last->nextChanged_;
  Channel* head = head_.load(std::memory_order_relaxed);
  do {
    last->nextChanged_ = head;
  } while (!head_.compare_exchange_weak(head, first, std::memory_order_release, std::memory_order_relaxed));
}

Channel* ChangedChannels::withoutRetired(Channel* first) noexcept {
  Channel* head = nullptr;
  Channel** link = &head;
  for (Channel* channel = first; channel != nullptr; channel = channel->nextChanged_) {
    if (channel->isRetired()) continue;
    *link = channel;
    link = &channel->nextChanged_;
  }
  *link = nullptr;
  return head;
}

Channel::Channel(Channels& owner, data::ReadHandle readHandle, std::string valueStreamKey)
    : owner_(&owner),
      lock_(owner.mutex_),
      readHandle_(std::move(readHandle)),
      valueStreamKey_(std::move(valueStreamKey)) {}

bool Channel::markChanged() noexcept {
  if (changed_.exchange(true)) return false;
  owner_->queueChanged(*this);
  return true;
}

std::error_code Channel::attach() {
  markChanged();
  return readHandle_.addChangeHandler(*this);
}

void Channel::detach() noexcept { readHandle_.removeChangeHandler(*this); }

bool Channel::addSubscriber(const Subscription& s) {
  const bool lowered = s.samplingInterval < samplingInterval_.load();
  if (!hasSubscriber(s)) subscribers_.push_back(&s);
  if (lowered) samplingInterval_.store(s.samplingInterval);
  return lowered;
}

bool Channel::hasSubscriber(const Subscription& s) const noexcept {
  return std::find(subscribers_.begin(), subscribers_.end(), &s) != subscribers_.end();
}

bool Channel::removeSubscriber(const Subscription& s) {
  std::erase(subscribers_, &s);
  if (s.samplingInterval > samplingInterval_.load()) return false;
  if (subscribers_.empty()) return false;
  std::int64_t shortest = kInt64Max;
  for (const Subscription* remaining : subscribers_)
    shortest = std::min(shortest, remaining->samplingInterval);
  samplingInterval_.store(shortest);
  return true;
}

void Channel::requestValue() noexcept {
  // The request first: a pass that takes the channel off the stack must see it.
  valueRequested_.store(true);
  markChanged();
}

void Channel::onChange() {
  // Queued before it is marked pending, so that the release in afterChanges finds it queued.
  if (markChanged()) owner_->markPending();
}

void Channel::afterChanges() { owner_->signalPending(); }

std::int64_t Channel::nextDue() const noexcept {
  const std::int64_t due =
      lastSampleTime_ == kNeverSampled
          ? kNeverSampled
          : saturatingAdd(lastSampleTime_, millisecondsToTicks(samplingInterval_.load()));
  return std::max(due, retryAt_);
}

void Channel::deferRetry(std::int64_t time, std::int64_t minimumMs) noexcept {
  lastSampleTime_ = time;
  retryAt_ = saturatingAdd(time, millisecondsToTicks(minimumMs));
}

}  // namespace ormanta::plugins::TulService
