#include "commands/SubscriptionTable.h"

#include <algorithm>
#include <iterator>
#include <mutex>

#include "commands/MemberLookup.h"
#include "ormanta/utils/chrono/TimePoint.h"
#include "plugin/Service.h"
#include "publishing/ValueStreams.h"

namespace ormanta::plugins::TulService {
namespace {

std::int64_t nowTicks() noexcept { return utils::chrono::now().time_since_epoch().count(); }

// Turns the sorted names into the sorted newNames, collecting what was added and removed. Both
// lists are multisets (a name may repeat), so a repeated name counts once per occurrence.
// Linear in the two sizes.
void mergeNames(std::vector<std::string>& names, std::vector<std::string>& newNames,
                std::vector<std::string>& added, std::vector<std::string>& removed) {
  std::set_difference(newNames.begin(), newNames.end(), names.begin(), names.end(),
                      std::back_inserter(added));
  std::set_difference(names.begin(), names.end(), newNames.begin(), newNames.end(),
                      std::back_inserter(removed));
  names.swap(newNames);
}

}  // namespace

SubscriptionTable::~SubscriptionTable() { clear(); }

const Subscription* SubscriptionTable::find(const std::string& id) const {
  auto found = entries_.find(id);
  return found == entries_.end() ? nullptr : found->second.get();
}

void SubscriptionTable::addOrUpdate(const std::string& id, std::int64_t samplingIntervalMs,
                                    std::int64_t lifetimeMs, std::vector<std::string> newNames) {
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
  // Names are resolved before the lock: a lookup may be slow (long names, large models) and
  // must not hold up the data worker or the host's change callbacks.
  std::vector<model::ElementAttribute> attributes;
  attributes.reserve(added.size());
  for (const std::string& name : added) attributes.push_back(findMember(service, name));
  service.channels().update(valueStreamPrefix(service.serviceName()), added, attributes, removed,
                            subscription);
}

}  // namespace ormanta::plugins::TulService
