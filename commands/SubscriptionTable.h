#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "commands/Subscription.h"

namespace ormanta::plugins::TulService {

class Service;

// The live subscriptions of one service element, by subscription ID. Used by the command
// worker thread only (and by the service's destructor once no worker runs), so it has no
// lock of its own; the channels it creates and removes are changed under the channels' lock.
class SubscriptionTable {
 public:
  explicit SubscriptionTable(Service& owner) noexcept : owner_(&owner) {}
  ~SubscriptionTable();
  SubscriptionTable(const SubscriptionTable&) = delete;
  SubscriptionTable& operator=(const SubscriptionTable&) = delete;

  // Creates or renews the lease of id for lifetimeMs with these names and interval. A renewal
  // with no names ends the subscription.
  void addOrUpdate(const std::string& id, std::int64_t samplingIntervalMs, std::int64_t lifetimeMs,
                   std::vector<std::string> names);
  // Ends expired subscriptions; returns the time to block for the next read: defaultMs, or
  // the time until the next expiry plus 1 ms when that is shorter.
  std::int64_t purgeExpired(std::int64_t defaultMs);
  // Ends every subscription.
  void clear();

  std::size_t size() const noexcept { return entries_.size(); }
  const Subscription* find(const std::string& id) const;

 private:
  Service* owner_;
  std::unordered_map<std::string, std::unique_ptr<Subscription>> entries_;
};

// Attaches the subscription to the channels of added and detaches it from those of removed
// (creating and removing channels as needed; see Channels::update) and wakes the data worker
// when a channel is new or its interval changed. The only writer of the channels.
// A removed name that the subscription still holds (it named a member twice) keeps it on the
// member's channel.
void updateChannels(Service& service, const std::vector<std::string>& added,
                    const std::vector<std::string>& removed, const Subscription& subscription);

}  // namespace ormanta::plugins::TulService
