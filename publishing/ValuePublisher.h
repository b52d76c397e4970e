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
using ChannelList = std::vector<std::shared_ptr<Channel>>;

// What a sampling pass tells the data worker about its next wait.
struct PublishResult {
  bool waitingChannels = false;  // a changed channel is not due yet
  std::uint64_t waitMs = 0;      // longest wait before the next pass
};

// Publishes due channels of one service to their value streams over one data connection.
// Made after each successful connect, dropped with the connection; data worker thread only.
// What it has not published yet (the service's sampleQueue and changed stack) outlives it.
class ValuePublisher {
 public:
  // Each value stream keeps about this many entries.
  static constexpr std::uint64_t kValueHistoryLength = 100;
  // A member whose value cannot be read is tried again after its interval, but not sooner.
  static constexpr std::int64_t kUnreadableRetryMs = 100;

  ValuePublisher(RedisConnection& connection, Service& service);

  // One pass over the channels that changed since the last one (not over every subscribed
  // channel): publishes those that are due in one pipelined XADD batch and keeps the others
  // for a later pass. channelMutex is held only to take over the retired channels.
  PublishResult publishPass(std::int64_t maxWaitMs);

  // "<service name>Value:<member path>".
  std::string valueStreamKey(std::string_view memberPath) const;

 private:
  // Moves the changed stack into the service's sampleQueue.
  void collectChangedChannels();

  RedisConnection& connection_;
  Service& service_;
  std::string serviceName_;
  std::string valueStreamPrefix_;
  // Reused from pass to pass to spare allocations.
  ChannelList retired_;
  std::vector<StreamValue> values_;  // the pass's entries; their keys are the channels' own
  ChannelList published_;            // keeps the channels behind values_' keys alive until sent
};

}  // namespace ormanta::plugins::TulService
