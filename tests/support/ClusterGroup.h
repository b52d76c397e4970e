#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/RedisServer.h"
#include "support/TempDirectory.h"

namespace tul::test {

// A private Redis Cluster on loopback: three primaries with one replica each
// (cluster-node-timeout 1000), every node a RedisServer stopped by pid. Ready once constructed
// (throws std::runtime_error after 20 s). Construct it on a long-lived thread.
class ClusterGroup {
 public:
  ClusterGroup();

  // "127.0.0.1:P1,127.0.0.1:P2,...": every node, the form of the "address" key.
  std::string seedAddresses() const;
  RedisServer& node(std::size_t index) { return *nodes_.at(index); }
  std::size_t size() const noexcept { return nodes_.size(); }
  // The node that serves key's slot now (as the first live node sees it).
  RedisServer& ownerOf(const std::string& key);
  // Every live node reports cluster_state:ok and agrees on the owner of every slot, each owner a
  // live node; false after timeout.
  bool waitUntilHealthy(std::chrono::milliseconds timeout);
  // Moves slot, with its keys, to target, the way `redis-cli --cluster reshard` does it
  // (IMPORTING, MIGRATING, MIGRATE of its keys in batches, SETSLOT NODE on every primary).
  void moveSlot(std::uint16_t slot, RedisServer& target);

 private:
  std::string nodeId(RedisServer& server);
  // The node that serves slot as asked sees it; null when none does.
  RedisServer* slotOwner(RedisServer& asked, std::uint16_t slot);

  TempDirectory directory_{"tul-cluster"};
  std::vector<std::unique_ptr<RedisServer>> nodes_;
};

}  // namespace tul::test
