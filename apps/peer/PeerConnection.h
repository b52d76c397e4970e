#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ormanta/utils/io/StopSource.h"
#include "peer/Address.h"
#include "redis/ClusterClient.h"
#include "redis/ConnectionSecurity.h"
#include "redis/RedisConnection.h"
#include "redis/ServerLocator.h"

namespace ormanta::peer {

// A failure of the connection itself or an unexpected reply.
class PeerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using ReplyPtr = plugins::TulService::RedisReplyPtr;

struct StreamEntry {
  std::string stream;
  std::string id;
  std::vector<std::pair<std::string, std::string>> fields;
  const std::string* field(std::string_view name) const;
};

// A blocking connection: the plug-in's own RedisConnection (the host's socket, TLS when asked
// for with certificates always verified, AUTH, hiredis' codec). Every reply is awaited at most
// 10 s, longer than any block time the tool asks for. One thread at a time.
class PeerConnection {
 public:
  // Connects, does the TLS handshake and AUTH as security says; throws PeerError "cannot
  // connect to <address>: <reason>" within 3 s (the server's text for a refused AUTH).
  explicit PeerConnection(const Address& address,
                          const plugins::TulService::ConnectionSecurity& security = {});
  // The primary that the locator's sentinels name, its ROLE checked (a replica named just after
  // a failover is asked about again); throws PeerError with the locator's reason within about
  // 3 s. The locator must outlive the connection.
  explicit PeerConnection(plugins::TulService::ServerLocator& locator);
  // A Redis Cluster: the locator's slot map, asked for anew; each request goes to its key's
  // node, redirections followed. The locator (configured for a cluster) must outlive it.
  struct Cluster {};
  PeerConnection(plugins::TulService::ServerLocator& locator, Cluster);
  ~PeerConnection();
  PeerConnection(const PeerConnection&) = delete;
  PeerConnection& operator=(const PeerConnection&) = delete;

  // The reply, error replies included; throws PeerError when the connection fails.
  ReplyPtr command(const std::vector<std::string>& args);

  // HGETALL as field/value pairs.
  std::vector<std::pair<std::string, std::string>> hgetall(const std::string& key);
  std::optional<std::string> hget(const std::string& key, const std::string& field);
  // XADD key * fields...; returns the new entry's ID.
  std::string xadd(const std::string& key, const std::vector<std::string>& fieldsAndValues);
  // The ID of a stream's last entry, "0-0" when it has none or does not exist.
  std::string lastEntryId(const std::string& key);
  // XREAD COUNT count BLOCK blockMs STREAMS keys... ids...; the entries in reply order, and
  // each stream's last ID moved to its last entry. blockMs is at least 1 (0 would block forever).
  // On a cluster one XREAD may name keys of one slot only: keys of one slot are read blocking,
  // keys of several are read in one pipelined round of XREADs per kClusterPoll without BLOCK.
  std::vector<StreamEntry> xread(const std::vector<std::string>& keys, std::vector<std::string>& ids,
                                 std::chrono::milliseconds block, int count = 100);

  // With sentinels: throws PeerError "the primary moved to HOST:PORT" when they name another
  // server than this one (after a failover that left the old primary up, it takes writes for a
  // while). Sentinels that cannot answer prove no move: nothing then.
  void checkPrimary();

  const std::string& address() const noexcept { return address_; }

  static constexpr std::chrono::milliseconds kClusterPoll{50};

 private:
  ReplyPtr expectType(const std::vector<std::string>& args, int type);
  std::vector<StreamEntry> clusterXread(const std::vector<std::string>& keys, std::vector<std::string>& ids,
                                        std::chrono::milliseconds block, int count);
  // The entries of an XREAD reply (nil: none) appended; ids moved as xread says.
  static void takeEntries(const redisReply& reply, const std::vector<std::string>& keys,
                          std::vector<std::string>& ids, std::vector<StreamEntry>& entries);

  std::string address_;                                    // "host:port"
  plugins::TulService::ServerLocator* locator_ = nullptr;  // with sentinels
  utils::io::StopSource stop_;  // never requested; outlives the connection bound to it
  std::unique_ptr<plugins::TulService::RedisConnection> connection_;  // one server
  std::unique_ptr<plugins::TulService::ClusterClient> cluster_;       // or a cluster
};

}  // namespace ormanta::peer
