#pragma once

// ClusterClient: the workers' requests on a Redis Cluster. Each request goes to the primary that
// serves its key's slot (the locator's slot map); a pipelined call is split per node, written to
// every node before any reply is read, and every reply is read. The cluster's answers while it
// moves slots or fails over are followed here, so that the workers see what one server would
// have answered:
//   MOVED                 the map learns the slot's new node, the request goes there;
//   ASK                   ASKING and the request at the node named, once, the map unchanged;
//   TRYAGAIN, CLUSTERDOWN the request again after a pause, for kPauseBudget;
//   READONLY, UNBLOCKED   a node that became a replica: a new map, the request again;
//   a node that cannot be reached (nothing sent): a new map from another node, the request to
//                         the slot's node then (after a pause while the map still names it).
// None of these ran the request, so nothing acknowledged is written twice. A connection that
// fails after a request was sent leaves its outcome unknown: the client drops it, refreshes
// the map when it can, and throws, as a single server's connection would.
//
// Threads: as RedisConnection: one thread owns the object and its node connections. The slot
// map is shared through the ServerLocator (its own lock).

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "ormanta/utils/io/StopSource.h"
#include "redis/RedisAccess.h"
#include "redis/RedisConnection.h"
#include "redis/SlotMap.h"

namespace ormanta::plugins::TulService {

class ServerLocator;

class ClusterClient final : public RedisAccess {
 public:
  // How long TRYAGAIN, CLUSTERDOWN and an unreachable node are retried before the failure path:
  // longer than a cluster's usual failover (about 2 s with cluster-node-timeout 1000).
  static constexpr std::chrono::milliseconds kPauseBudget{3500};
  // The redirections one call follows at once; more wait as TRYAGAIN does, within kPauseBudget.
  static constexpr int kMaxRedirections = 16;
  // How old the map may grow before checkIdle asks a node anew.
  static constexpr std::chrono::seconds kRefreshEvery{10};

  // Over the locator's current slot map (which must exist). Node connections are made on first
  // use, each within connectTimeout, stopped by stopSource (which must outlive this object).
  ClusterClient(ServerLocator& locator, utils::io::StopSource& stopSource,
                std::chrono::milliseconds connectTimeout);
  ~ClusterClient() override;

  std::string ping() override;
  void checkIdle() override;
  RedisReplyPtr keyCommand(const RedisArgs& args, std::chrono::milliseconds replyWait = {}) override;
  std::int64_t del(std::vector<std::string> keys) override;
  std::int64_t hdel(std::string_view key, const std::vector<std::string>& fields) override;
  void hset(const std::vector<RedisRecord>& records) override;
  std::vector<std::optional<std::string>> xaddEach(const std::vector<RedisRecord>& records,
                                                   std::uint64_t maxLength) override;
  void xaddValues(std::span<const StreamValue> values, std::uint64_t maxLength,
                  std::vector<Refusal>& refusals) override;
  std::optional<std::vector<StreamEntry>> xread(std::string_view streamKey, std::string_view lastId,
                                                std::int64_t blockMs, std::uint64_t count) override;
  std::vector<StreamEntry> xrevrange(std::string_view streamKey, std::string_view end, std::string_view start,
                                     std::uint64_t count) override;
  StreamReadAndAppend xreadThenXadd(std::string_view streamKey, std::string_view lastId,
                                    const std::vector<RedisRecord>& records, const StreamTrim& trim,
                                    std::uint64_t readCount = 0) override;
  std::int64_t serverTimeMs(std::string_view key) override;
  std::uint64_t replyTimeoutSeconds() const noexcept override { return 1; }

  // Requests about one key each (args[1]), pipelined per node; every reply, error replies
  // included, redirections followed.
  std::vector<RedisReplyPtr> keyCommands(std::span<const RedisArgs> requests);

  // The nodes this client holds connections to, "host:port" each.
  std::vector<std::string> openNodes() const;

 private:
  class Retries;

  // The connection to address, made when there is none; throws what the connect throws.
  RedisConnection& node(const std::string& address);
  void drop(const std::string& address) noexcept;
  // The connection to address; null when it cannot be reached but another node gave a new map
  // (nothing was sent; after a pause unless the map moved slot elsewhere, every time when slot is
  // empty). Throws the connect's error when no node gives a map or the pauses are spent.
  RedisConnection* reach(const std::string& address, Retries& retries, std::optional<std::uint16_t> slot);
  // The slot's primary; refreshes the map when it names none (kDiscovery when no node answers).
  const std::string& ownerOf(std::uint16_t slot);
  // A new map: from a node this client is connected to, else the locator asks every node it
  // knows. Throws kDiscovery when none answers.
  void refreshMap();
  // The same, but a failure only drops the map's age: a failed connection is thrown as it was.
  void refreshMapQuietly() noexcept;
  // A new map, then each (slot, node) of a MOVED on top of it.
  void noteMoves(const std::vector<std::pair<std::uint16_t, std::string>>& moves);

  // call(connection) at the node that serves key, redirections followed.
  template <class Call>
  auto onKey(std::string_view key, Call call);
  // Sends request i (of count, appended by append(batch, i)) to the node serving slotOf(i);
  // replies[i] is its reply, redirections followed (an error reply when they ran out).
  template <class SlotOf, class Append>
  void pipeline(std::size_t count, SlotOf slotOf, Append append, std::vector<RedisReplyPtr>& replies);

  ServerLocator& locator_;
  utils::io::StopSource& stopSource_;
  std::chrono::milliseconds connectTimeout_;
  std::shared_ptr<const SlotMap> map_;
  std::map<std::string, std::unique_ptr<RedisConnection>> nodes_;
};

}  // namespace ormanta::plugins::TulService
