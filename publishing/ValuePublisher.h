#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "redis/RedisConnection.h"
#include "redis/RedisTypes.h"

namespace ormanta::plugins::TulService {

class Channel;
class Service;

// What a sampling pass tells the data worker about its next wait.
struct PublishResult {
  bool waitingChannels = false;  // a changed channel is not due yet
  std::uint64_t waitMs = 0;      // longest wait before the next pass
};

// Publishes due channels of one service to their value streams over one data connection.
// Made after each successful connect, dropped with the connection; data worker thread only.
class ValuePublisher {
 public:
  // Each value stream keeps about this many entries.
  static constexpr std::uint64_t kValueHistoryLength = 100;

  ValuePublisher(RedisConnection& connection, Service& service);

  // One pass: copies channelMap under channelMutex, then, without the lock, samples every
  // changed channel that is due and appends all their values in one pipelined XADD batch.
  PublishResult publishPass(std::int64_t maxWaitMs);

  // "<service name>Value:<member path>".
  std::string valueStreamKey(std::string_view memberPath) const;

 private:
  RedisConnection& connection_;
  Service& service_;
  std::string serviceName_;
  std::string valueStreamPrefix_;
  // Reused from pass to pass to spare allocations.
  std::vector<std::pair<std::string, std::shared_ptr<Channel>>> snapshot_;
  std::vector<RedisRecord> records_;
};

}  // namespace ormanta::plugins::TulService
