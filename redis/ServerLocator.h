#pragma once

// ServerLocator: where the service's Redis server is. One fixed address; or the primary
// that a group of sentinels names for a master: the locator asks them, connects, and checks the
// server's ROLE. It is the one place that knows the server: the data worker asks it for a
// connection to the primary, the registration and command workers connect to the server the
// data connection reached, and every worker reports what it saw there (a READONLY, say), so
// that all three connections go to one primary and follow it together; or a Redis Cluster, whose
// slot map it keeps for every worker's ClusterClient (which node serves which key).
//
// Threads: configure() runs while no worker does (loadConfiguration). connectPrimary() is the
// data worker's, forgetCurrent() its failure path's; connectCurrent(), report() and
// currentAddress() and the slot map's functions may run on any thread. current_ and slotMap_ are
// guarded by mutex_.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ormanta/utils/io/StopSource.h"
#include "plugin/ThreadSafety.h"
#include "redis/ConnectionSecurity.h"
#include "redis/RedisAccess.h"
#include "redis/RedisConnection.h"
#include "redis/SlotMap.h"

namespace ormanta::plugins::TulService {

// A group of sentinels that watch one master.
struct SentinelSettings {
  static constexpr std::string_view kDefaultPort = "26379";

  std::vector<std::string> addresses;  // "host:port" each, asked in this order
  std::string master;                  // the master's name in the sentinels' configuration
  std::string username;                // for sentinels that require AUTH; empty: the default user
  std::string password;                // empty: no AUTH. Never copied into any text.

  // "HOST:PORT,HOST:PORT,...": every entry, spaces around it dropped, 26379 where it names no
  // port ("[::1]" and a bare IPv6 address included). Throws std::invalid_argument naming the
  // configuration key for an empty list or entry.
  static std::vector<std::string> parseAddresses(std::string_view text);
};

// "HOST:PORT,HOST:PORT,...", as SentinelSettings::parseAddresses, for the configuration key named
// key, with defaultPort where an entry names none.
std::vector<std::string> parseAddressList(std::string_view text, std::string_view key,
                                          std::string_view defaultPort);

class ServerLocator {
 public:
  // How long one sentinel may take to connect and to answer.
  static constexpr std::chrono::milliseconds kSentinelTimeout{1000};
  // The pause before the sentinels are asked again after they named a replica (they name the
  // old primary for a moment after a failover, and a replica only if they have not caught up).
  static constexpr std::chrono::milliseconds kReplicaPause{200};

  ServerLocator() = default;
  ServerLocator(const ServerLocator&) = delete;
  ServerLocator& operator=(const ServerLocator&) = delete;

  // How long a cluster node may take to connect and to describe its slots.
  static constexpr std::chrono::milliseconds kNodeTimeout{1000};

  // A fixed server at address; with sentinels the primary they name (address unused); with
  // cluster a Redis Cluster, address listing seed nodes ("HOST:PORT,...", 6379 by default).
  // Throws std::invalid_argument for a cluster with sentinels or an empty seed.
  void configure(std::string address, ConnectionSecurity security, std::optional<SentinelSettings> sentinels,
                 bool cluster = false);

  bool usesSentinels() const noexcept { return sentinels_.has_value(); }
  bool usesCluster() const noexcept { return !seeds_.empty(); }
  const std::optional<SentinelSettings>& sentinels() const noexcept { return sentinels_; }
  const ConnectionSecurity& security() const noexcept { return security_; }

  // A connection to the primary within timeout, which becomes the current server. Fixed: the
  // address. Sentinels: asks them in turn for the master's address, connects and checks ROLE;
  // a replica there means the sentinels have not caught up, so they are asked again after
  // kReplicaPause while time is left. Throws RedisError: kDiscovery (no sentinel named a
  // primary, every one's reason given), kNotPrimary (only replicas were named), or what the
  // connect throws, its text naming the primary the sentinels gave.
  // With a cluster: its slot map, asked for anew (refreshSlotMap), and a ClusterClient over it.
  std::unique_ptr<RedisAccess> connectPrimary(utils::io::StopSource& stopSource,
                                              std::chrono::milliseconds timeout) TUL_EXCLUDES(mutex_);
  // connectPrimary for one server (not a cluster).
  std::unique_ptr<RedisConnection> connectPrimaryServer(utils::io::StopSource& stopSource,
                                                        std::chrono::milliseconds timeout)
      TUL_EXCLUDES(mutex_);
  // A connection to the current server: the fixed address, or the primary the data connection
  // reached (kNotPrimary when there is none); with a cluster a ClusterClient over the slot map
  // the data connection fetched (kNotPrimary when there is none).
  std::unique_ptr<RedisAccess> connectCurrent(utils::io::StopSource& stopSource,
                                              std::chrono::milliseconds timeout) TUL_EXCLUDES(mutex_);

  // ---- a cluster's slot map ----

  // The current map; null before the first refreshSlotMap and after forgetCurrent.
  std::shared_ptr<const SlotMap> slotMap() const TUL_EXCLUDES(mutex_);
  // Asks the primaries of the current map, then the seeds, in turn, for the slot map (each within
  // kNodeTimeout); the first answer becomes the current map and the node the current server.
  // Throws RedisError kDiscovery with every node's reason when none answers.
  std::shared_ptr<const SlotMap> refreshSlotMap(utils::io::StopSource& stopSource) TUL_EXCLUDES(mutex_);
  // A worker's newer map (one it fetched, or one a MOVED changed) replaces the current one.
  void storeSlotMap(std::shared_ptr<const SlotMap> map) TUL_EXCLUDES(mutex_);
  // Asks the sentinels in turn for the master's address ("host:port"), without a role check.
  // Throws kDiscovery as connectPrimary does. Sentinels only.
  std::string askSentinels(utils::io::StopSource& stopSource) const;

  // A worker saw what on the current server: true when it means the server is no longer the
  // primary (RedisError::meansPrimaryMoved), and then the current server is forgotten.
  bool report(const RedisError& what) TUL_EXCLUDES(mutex_);
  // The data connection is gone: no current server until the next connectPrimary.
  void forgetCurrent() noexcept TUL_EXCLUDES(mutex_);
  // "host:port" of the current server; empty while there is none.
  std::string currentAddress() const TUL_EXCLUDES(mutex_);

  // The server address sentinels give as ip and port ("[ip]:port" for IPv6).
  static std::string addressOf(std::string_view ip, std::string_view port);

 private:
  std::string address_;
  ConnectionSecurity security_;
  std::optional<SentinelSettings> sentinels_;
  std::vector<std::string> seeds_;  // a cluster's seed nodes; empty for one server
  mutable Mutex mutex_;
  std::string current_ TUL_GUARDED_BY(mutex_);
  std::shared_ptr<const SlotMap> slotMap_ TUL_GUARDED_BY(mutex_);
};

}  // namespace ormanta::plugins::TulService
