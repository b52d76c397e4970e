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
class Channels;
class DataConnectionHandler;
class Service;
using ChannelList = std::vector<std::shared_ptr<Channel>>;

// What a sampling pass tells the data worker about its next wait.
struct PublishResult {
  bool waitingChannels = false;  // a changed channel is not due yet
  std::uint64_t waitMs = 0;      // longest wait before the next pass
};

// Publishes due channels of one service to their value streams over one data connection.
// Made after each successful connect, dropped with the connection; data worker thread only.
// What it has not published yet (the data handler's sampleQueue, the changed stack) outlives it.
class ValuePublisher {
 public:
  // A member whose value cannot be read is tried again after its interval, but not sooner.
  static constexpr std::int64_t kUnreadableRetryMs = 100;
  // A member whose value stream the server refused (a key of another type, an ACL that
  // denies it) is tried again after this long, so that it publishes soon after the key is
  // fixed without costing a refusal per change.
  static constexpr std::int64_t kRefusedRetryMs = 2000;

  ValuePublisher(RedisAccess& connection, Service& service);

  // One pass over the channels that changed since the last one (not over every subscribed
  // channel): publishes those that are due in one pipelined XADD batch and keeps the others
  // for a later pass. The channels' lock is held only to take over the retired channels. A value
  // stream the server refuses costs only its member: it is kept for a retry after
  // kRefusedRetryMs and shown in the publishing record; any other error reply throws.
  PublishResult publishPass(std::int64_t maxWaitMs);

 private:
  // Moves the changed stack into the data handler's sampleQueue.
  void collectChangedChannels();
  // The refusals of the batch just sent: see publishPass.
  void takeRefusals(std::int64_t now, PublishResult& result);

  RedisAccess& connection_;
  Channels& channels_;
  DataConnectionHandler& handler_;
  // Reused from pass to pass to spare allocations.
  std::vector<Refusal> refusals_;
  ChannelList retired_;
  std::vector<StreamValue> values_;  // the pass's entries; their keys are the channels' own
  ChannelList published_;            // keeps the channels behind values_' keys alive until sent
};

}  // namespace ormanta::plugins::TulService
