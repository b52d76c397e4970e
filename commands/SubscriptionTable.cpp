#include "commands/SubscriptionTable.h"

#include <algorithm>
#include <mutex>

#include "commands/Channel.h"
#include "commands/MemberLookup.h"
#include "ormanta/utils/chrono/TimePoint.h"
#include "plugin/Service.h"

namespace ormanta::plugins::TulService {
namespace {

std::int64_t nowTicks() noexcept { return utils::chrono::now().time_since_epoch().count(); }

// Walks the sorted old names and the sorted new names together, turning names into newNames
// and collecting what was added and removed.
void mergeNames(std::vector<std::string>& names, const std::vector<std::string>& newNames,
                std::vector<std::string>& added, std::vector<std::string>& removed) {
  std::size_t oldPos = 0;
  std::size_t newPos = 0;
  for (;;) {
    while (oldPos < names.size() && newPos < newNames.size() && names[oldPos] == newNames[newPos]) {
      ++oldPos;
      ++newPos;
    }
    const bool oldEnd = oldPos == names.size();
    const bool newEnd = newPos == newNames.size();
    if (oldEnd && newEnd) return;
    if (newEnd || (!oldEnd && names[oldPos] < newNames[newPos])) {
      removed.push_back(std::move(names[oldPos]));
      names.erase(names.begin() + static_cast<std::ptrdiff_t>(oldPos));
    } else {
      names.insert(names.begin() + static_cast<std::ptrdiff_t>(oldPos), newNames[newPos]);
      added.push_back(newNames[newPos]);
      ++oldPos;
      ++newPos;
    }
  }
}

}  // namespace

SubscriptionTable::~SubscriptionTable() { clear(); }

const Subscription* SubscriptionTable::find(const std::string& id) const {
  auto found = entries_.find(id);
  return found == entries_.end() ? nullptr : found->second.get();
}

void SubscriptionTable::addOrUpdate(const std::string& id, std::int64_t samplingIntervalMs, std::int64_t lifetimeMs,
                                    std::vector<std::string> newNames) {
  auto [entry, inserted] = entries_.try_emplace(id);
  if (inserted) entry->second = std::make_unique<Subscription>(*owner_);
  Subscription& subscription = *entry->second;

  subscription.samplingInterval = samplingIntervalMs;
  subscription.expiry = saturatingAdd(nowTicks(), millisecondsToTicks(lifetimeMs));
  std::sort(newNames.begin(), newNames.end());

  if (newNames.empty()) {
    std::vector<std::string> removed = std::move(subscription.names);
    subscription.names.clear();
    updateChannels(*owner_, {}, removed, subscription);
  } else if (subscription.names.empty()) {
    subscription.names = std::move(newNames);
    updateChannels(*owner_, subscription.names, {}, subscription);
  } else {
    std::vector<std::string> added;
    std::vector<std::string> removed;
    mergeNames(subscription.names, newNames, added, removed);
    updateChannels(*owner_, added, removed, subscription);
  }
  if (subscription.names.empty()) entries_.erase(entry);
}

std::int64_t SubscriptionTable::purgeExpired(std::int64_t defaultMs) {
  std::int64_t result = defaultMs;
  const std::int64_t now = nowTicks();
  for (auto entry = entries_.begin(); entry != entries_.end();) {
    Subscription& subscription = *entry->second;
    if (subscription.expiry <= now) {
      std::vector<std::string> removed = std::move(subscription.names);
      subscription.names.clear();
      updateChannels(*owner_, {}, removed, subscription);
      entry = entries_.erase(entry);
      continue;
    }
    const std::int64_t remaining = (subscription.expiry - now) / utils::chrono::kTicksPerMillisecond + 1;
    result = std::min(result, remaining);
    ++entry;
  }
  return result;
}

void SubscriptionTable::clear() {
  for (auto& [id, subscription] : entries_) {
    std::vector<std::string> removed = std::move(subscription->names);
    subscription->names.clear();
    updateChannels(*owner_, {}, removed, *subscription);
  }
  entries_.clear();
}

void updateChannels(Service& service, const std::vector<std::string>& added,
                    const std::vector<std::string>& removed, const Subscription& subscription) {
  std::lock_guard lock(service.channelMutex);
  bool signal = false;
  for (const std::string& name : added) {
    model::ElementAttribute attribute = findMember(service, name);
    if (!attribute) continue;  // unknown names are kept by the subscription but get no channel
    auto [entry, inserted] = service.channelMap.try_emplace(name);
    if (inserted) {
      entry->second = std::make_shared<Channel>(service, attribute.readHandle());
      // A handle the host refuses to observe still gets its first value published.
      (void)entry->second->attach();
    }
    const bool lowered = entry->second->addSubscriber(subscription);
    signal = signal || inserted || lowered;
  }
  for (const std::string& name : removed) {
    auto entry = service.channelMap.find(name);
    if (entry == service.channelMap.end()) continue;
    // A name the subscription still holds (it was named twice) keeps it on the channel.
    if (std::binary_search(subscription.names.begin(), subscription.names.end(), name)) continue;
    signal = entry->second->removeSubscriber(subscription) || signal;
    if (!entry->second->hasSubscribers()) {
      entry->second->detach();
      service.channelMap.erase(entry);
    }
  }
  if (signal) {
    service.changesPending.store(true);
    if (service.changesPending.exchange(false)) service.sampleSignal.release();
  }
}

}  // namespace ormanta::plugins::TulService
