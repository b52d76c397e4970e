#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/RedisServer.h"
#include "support/TempDirectory.h"

namespace tul::test {

// A private primary, a replica and three sentinels watching them as master "m" (quorum 2,
// down-after 1 s, failover-timeout 3 s) on loopback, stopped by pid. Ready for a failover once
// constructed (throws std::runtime_error after 15 s). Construct it on a long-lived thread.
class SentinelGroup {
 public:
  SentinelGroup();

  // "127.0.0.1:P1,127.0.0.1:P2,127.0.0.1:P3", the form of the "sentinels" key.
  std::string sentinelAddresses() const;
  int sentinelPort(std::size_t index) const { return sentinelPorts_.at(index); }
  // The server the sentinels name as the primary now.
  RedisServer& primary() { return namedPrimary() == second_.address() ? second_ : first_; }
  // SENTINEL FAILOVER, retried while the sentinels still refuse it (NOGOODSLAVE); returns at once.
  void failover();
  // The primary the sentinels name once it is not previous; nullopt after timeout.
  std::optional<std::string> waitForNewPrimary(const std::string& previous,
                                               std::chrono::milliseconds timeout);

 private:
  std::string namedPrimary();

  TempDirectory directory_{"tul-sentinels"};
  RedisServer first_;
  RedisServer second_;
  std::vector<int> sentinelPorts_;
  std::vector<std::unique_ptr<ChildProcess>> sentinels_;
};

}  // namespace tul::test
