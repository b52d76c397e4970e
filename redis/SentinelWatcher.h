#pragma once

// SentinelWatcher: listens for the sentinels' "+switch-master" announcements of one master and
// reports the new primary. It keeps a subscription on a connection of its own to one sentinel
// at a time (the first that answers; the next when that one fails or stops answering PING).
// A subscription, not a poll: after a manual failover the old primary goes on accepting writes
// for some 11 s before it is made a replica, and every write it takes meanwhile is lost; the
// announcement arrives at once, a poll only at its next turn. After each subscribe it also asks
// the sentinels where the primary is, so that a failover announced while no sentinel was
// subscribed is not missed.
//
// Threads: start() and stop() from one thread (the host's lifecycle thread); the watcher's own
// thread calls onSwitch, which must be thread-safe and must not call stop().

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "ormanta/utils/io/StopSource.h"
#include "redis/ServerLocator.h"

namespace ormanta::plugins::TulService {

class SentinelWatcher {
 public:
  // Called with the new primary's address ("host:port") and why it is thought to be new.
  using OnSwitch = std::function<void(const std::string& primary, const std::string& why)>;

  // How often the subscribed sentinel must answer a PING, and the pause before the next
  // sentinel is tried after a failure.
  static constexpr std::chrono::milliseconds kPingEvery{1000};
  static constexpr std::chrono::milliseconds kRetryPause{500};

  // locator must use sentinels and outlive the watcher.
  SentinelWatcher(const ServerLocator& locator, OnSwitch onSwitch);
  ~SentinelWatcher() { stop(); }
  SentinelWatcher(const SentinelWatcher&) = delete;
  SentinelWatcher& operator=(const SentinelWatcher&) = delete;

  void start();
  // Ends the subscription and joins the thread within milliseconds.
  void stop() noexcept;

 private:
  void run(const std::stop_token& stop);
  // One sentinel until it fails (throws) or stop.
  void watch(const std::string& sentinel, const std::stop_token& stop);

  const ServerLocator& locator_;
  OnSwitch onSwitch_;
  utils::io::StopSource stopSource_;  // ends the socket waits of the thread
  std::jthread thread_;
};

}  // namespace ormanta::plugins::TulService
