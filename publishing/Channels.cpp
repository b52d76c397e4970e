#include "publishing/Channels.h"

#include <algorithm>

#include "publishing/ValueStreams.h"

namespace ormanta::plugins::TulService {

void Channels::signalPending() noexcept {
  if (changesPending_.exchange(false)) sampleSignal_.release();
}

void Channels::signal(std::ptrdiff_t times) noexcept {
  changesPending_.store(false);
  sampleSignal_.release(times);
}

void Channels::drainSignal() noexcept {
  // The last, failing try_acquire spins and yields briefly; a drain that never fails (counting
  // the releases) measured half again as slow from change to peer on two cores.
  while (sampleSignal_.try_acquire()) {
  }
}

void Channels::takeRetired(ChannelList& into) {
  MutexLock lock(mutex_);
  into.swap(retired_);
}

void Channels::reserveRetired() {
  if (retired_.size() == retired_.capacity())
    retired_.reserve(std::max<std::size_t>(16, 2 * retired_.size()));
}

void Channels::retire(std::shared_ptr<Channel> channel) noexcept {
  channel->detach();
  channel->retire();
  retired_.push_back(std::move(channel));
}

void Channels::insert(std::string_view keyPrefix, const std::string& name,
                      const model::ElementAttribute& attribute, const Subscription& subscription) {
  reserveRetired();
  auto channel = std::make_shared<Channel>(*this, attribute.readHandle(), valueStreamKey(keyPrefix, name));
  channel->assertLocked();
  channel->addSubscriber(subscription);
  try {
    // A handle the host refuses to observe still gets its first value published.
    (void)channel->attach();
    map_.emplace(name, channel);
  } catch (...) {
    retire(std::move(channel));
    throw;
  }
}

void Channels::update(std::string_view keyPrefix, const std::vector<std::string>& added,
                      const std::vector<model::ElementAttribute>& attributes,
                      const std::vector<std::string>& removed, const Subscription& subscription) {
  MutexLock lock(mutex_);
  bool wake = false;
  for (std::size_t i = 0; i < added.size(); ++i) {
    const std::string& name = added[i];
    if (!attributes[i]) continue;  // unknown names are kept by the subscription but get no channel
    auto entry = map_.find(name);
    if (entry == map_.end()) {
      insert(keyPrefix, name, attributes[i], subscription);
      wake = true;
      continue;
    }
    Channel& channel = *entry->second;
    channel.assertLocked();
    if (!channel.hasSubscriber(subscription)) {
      // Every new subscriber gets the member's current value, not only the first one.
      channel.requestValue();
      wake = true;
    }
    wake = channel.addSubscriber(subscription) || wake;
  }
  for (const std::string& name : removed) {
    auto entry = map_.find(name);
    if (entry == map_.end()) continue;
    // A name the subscription still holds (it was named twice) keeps it on the channel.
    if (std::binary_search(subscription.names.begin(), subscription.names.end(), name)) continue;
    Channel& channel = *entry->second;
    channel.assertLocked();
    wake = channel.removeSubscriber(subscription) || wake;
    if (!channel.hasSubscribers()) {
      reserveRetired();
      retire(std::move(entry->second));
      map_.erase(entry);
      wake = true;
    }
  }
  if (wake) signal();
}

std::shared_ptr<Channel> Channels::find(const std::string& memberPath) const {
  MutexLock lock(mutex_);
  const auto found = map_.find(memberPath);
  return found == map_.end() ? nullptr : found->second;
}

std::vector<std::string> Channels::names() const {
  MutexLock lock(mutex_);
  std::vector<std::string> names;
  for (const auto& [name, channel] : map_) names.push_back(name);
  std::sort(names.begin(), names.end());
  return names;
}

bool Channels::subscribed(const std::string& memberPath, const Subscription& subscription) const {
  MutexLock lock(mutex_);
  const auto found = map_.find(memberPath);
  if (found == map_.end()) return false;
  found->second->assertLocked();
  return found->second->hasSubscriber(subscription);
}

bool Channels::owns(const Channel* channel) const {
  MutexLock lock(mutex_);
  for (const auto& [name, entry] : map_) {
    if (entry.get() == channel) return true;
  }
  return std::any_of(retired_.begin(), retired_.end(),
                     [&](const auto& entry) { return entry.get() == channel; });
}

}  // namespace ormanta::plugins::TulService
