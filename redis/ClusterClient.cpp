#include "redis/ClusterClient.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "redis/KeySlot.h"
#include "redis/ServerLocator.h"
#include "redis/StaticNumberText.h"
#include "redis/StreamDecoding.h"

namespace ormanta::plugins::TulService {
namespace {

using Clock = std::chrono::steady_clock;
using Reply = RedisError::Reply;

}  // namespace

// What one call may still spend on redirections and pauses.
class ClusterClient::Retries {
 public:
  explicit Retries(utils::io::StopSource& stopSource) : stopSource_(stopSource) {}

  // One more redirection. Past kMaxRedirections each one pauses first (false when the budget is
  // spent): while a slot moves, two nodes may name each other for a few milliseconds.
  bool redirect() { return ++redirections_ <= kMaxRedirections || pause(); }
  // A pause before the next attempt (10 ms, doubling to 200 ms); false when the budget is spent.
  bool pause() {
    const Clock::time_point now = Clock::now();
    if (now >= deadline_) return false;
    for (const Clock::time_point until = std::min(now + delay_, deadline_); Clock::now() < until;) {
      if (stopSource_.stopRequested())
        throw RedisError(RedisError::Kind::kStopped, "the cluster request was stopped");
      std::this_thread::sleep_for(
          std::min<Clock::duration>(std::chrono::milliseconds(5), until - Clock::now()));
    }
    delay_ = std::min(delay_ * 2, std::chrono::milliseconds(200));
    return true;
  }

 private:
  utils::io::StopSource& stopSource_;
  const Clock::time_point deadline_ = Clock::now() + kPauseBudget;
  std::chrono::milliseconds delay_{10};
  int redirections_ = 0;
};

ClusterClient::ClusterClient(ServerLocator& locator, utils::io::StopSource& stopSource,
                             std::chrono::milliseconds connectTimeout)
    : locator_(locator), stopSource_(stopSource), connectTimeout_(connectTimeout), map_(locator.slotMap()) {
  if (!map_)
    throw RedisError(RedisError::Kind::kNotPrimary, "no slot map: the data connection is not established");
}

ClusterClient::~ClusterClient() = default;

RedisConnection& ClusterClient::node(const std::string& address) {
  std::unique_ptr<RedisConnection>& connection = nodes_[address];
  if (!connection) {
    auto made = std::make_unique<RedisConnection>(address, locator_.security());
    try {
      made->connect(stopSource_, connectTimeout_);
    } catch (...) {
      nodes_.erase(address);
      throw;
    }
    connection = std::move(made);
  }
  return *connection;
}

void ClusterClient::drop(const std::string& address) noexcept { nodes_.erase(address); }

std::vector<std::string> ClusterClient::openNodes() const {
  std::vector<std::string> addresses;
  for (const auto& [address, connection] : nodes_) addresses.push_back(address);
  return addresses;
}

const std::string& ClusterClient::ownerOf(std::uint16_t slot) {
  if (map_->ownerOf(slot).empty()) refreshMap();
  const std::string& owner = map_->ownerOf(slot);
  if (owner.empty()) {
    throw RedisError(RedisError::Kind::kDiscovery,
                     "no node of the cluster serves slot " + std::to_string(slot));
  }
  return owner;
}

void ClusterClient::refreshMap() {
  for (auto it = nodes_.begin(); it != nodes_.end();) {
    try {
      map_ = SlotMap::fetch(*it->second);
      locator_.storeSlotMap(map_);
      return;
    } catch (const RedisError& error) {
      if (error.kind() == RedisError::Kind::kStopped) throw;
      // Out of step or gone: the next request to that node connects anew.
      it = nodes_.erase(it);
    }
  }
  map_ = locator_.refreshSlotMap(stopSource_);
}

void ClusterClient::refreshMapQuietly() noexcept {
  try {
    refreshMap();
  } catch (...) {
    // The caller throws its own failure; the next connection asks again.
  }
}

void ClusterClient::noteMoves(const std::vector<std::pair<std::uint16_t, std::string>>& moves) {
  // The rest of a resharding or a failover comes with a whole new map. The node that answered
  // MOVED knows its slot best: a node asked for the map may not have heard of the move yet.
  refreshMapQuietly();
  for (const auto& [slot, address] : moves) map_ = map_->withMoved(slot, address);
  locator_.storeSlotMap(map_);
}

RedisConnection* ClusterClient::reach(const std::string& address, Retries& retries,
                                      std::optional<std::uint16_t> slot) {
  try {
    return &node(address);
  } catch (const RedisError& unreachable) {
    if (unreachable.kind() == RedisError::Kind::kStopped) throw;
    // Nothing was sent: another node may know where the slot went, or that it moves soon.
    try {
      refreshMap();
    } catch (const RedisError&) {
      throw unreachable;
    }
    const bool moved = slot && map_->ownerOf(*slot) != address;
    if (!moved && !retries.pause()) throw unreachable;
    return nullptr;
  }
}

template <class Call>
auto ClusterClient::onKey(std::string_view key, Call call) {
  const std::uint16_t slot = keySlot(key);
  Retries retries(stopSource_);
  std::string askTarget;
  for (;;) {
    const bool asking = !askTarget.empty();
    const std::string address = asking ? std::exchange(askTarget, {}) : ownerOf(slot);
    RedisConnection* connection = reach(address, retries, slot);
    if (connection == nullptr) continue;
    try {
      if (asking) {
        const RedisReplyPtr ok = connection->command({"ASKING"});
        if (ok->type == kReplyError) throw RedisError::fromReply(replyText(*ok));
      }
      return call(*connection);
    } catch (const RedisError& error) {
      if (error.kind() != RedisError::Kind::kReply) {
        drop(address);
        if (error.kind() != RedisError::Kind::kStopped) refreshMapQuietly();
        throw;
      }
      switch (error.reply()) {
        case Reply::kMoved:
          if (!retries.redirect() || error.arguments().size() < 2) throw;
          noteMoves({{slot, error.arguments()[1]}});
          break;
        case Reply::kAsk:
          if (!retries.redirect() || error.arguments().size() < 2) throw;
          askTarget = error.arguments()[1];
          break;
        case Reply::kTryAgain:
        case Reply::kClusterDown:
          if (!retries.pause()) throw;
          break;
        case Reply::kReadOnly:
        case Reply::kUnblocked:
          // The node became a replica: the map names its new primary.
          if (!retries.pause()) throw;
          refreshMap();
          break;
        default:
          throw;
      }
    }
  }
}

template <class SlotOf, class Append>
void ClusterClient::pipeline(std::size_t count, SlotOf slotOf, Append append,
                             std::vector<RedisReplyPtr>& replies) {
  struct Pending {
    std::size_t index;
    std::string ask;  // the node an ASK named; empty: the slot's owner
  };
  replies.clear();
  replies.resize(count);
  std::vector<Pending> todo;
  todo.reserve(count);
  for (std::size_t i = 0; i < count; ++i) todo.push_back(Pending{i, {}});
  Retries retries(stopSource_);
  std::map<std::string, std::vector<Pending>> groups;
  // Replies may be pending on every node: the client is spent, the next one needs a good map.
  const auto failed = [this](const RedisError& error) {
    nodes_.clear();
    if (error.kind() == RedisError::Kind::kStopped) return;
    try {
      map_ = locator_.refreshSlotMap(stopSource_);
    } catch (...) {
      // The caller's failure stands; the next connection asks again.
    }
  };
  while (!todo.empty()) {
    groups.clear();
    for (Pending& pending : todo) {
      const std::string address = pending.ask.empty() ? ownerOf(slotOf(pending.index)) : pending.ask;
      groups[address].push_back(std::move(pending));
    }
    todo.clear();
    // Every node is reached before anything is written: an unreachable one costs nothing sent.
    bool reached = true;
    for (const auto& [address, requests] : groups) {
      if (reach(address, retries, std::nullopt) == nullptr) {
        reached = false;
        break;
      }
    }
    if (!reached) {
      for (auto& [address, requests] : groups) {
        for (Pending& pending : requests) todo.push_back(Pending{pending.index, {}});
      }
      continue;
    }
    // Named, not bound: the writer lambda captures them (clang 14 cannot capture a binding).
    for (auto& group : groups) {
      const std::string& address = group.first;
      std::vector<Pending>& requests = group.second;
      try {
        std::size_t next = 0;
        bool askingWritten = false;
        nodes_.at(address)->writePipelined([&](RequestBatch& batch) {
          if (next == requests.size()) return false;
          if (!requests[next].ask.empty() && !askingWritten) {
            batch.appendArgs({"ASKING"});
            askingWritten = true;
            return true;
          }
          append(batch, requests[next++].index);
          askingWritten = false;
          return true;
        });
      } catch (const RedisError& error) {
        failed(error);
        throw;
      }
    }
    bool redirected = false;
    bool pause = false;
    bool refresh = false;
    std::vector<std::pair<std::uint16_t, std::string>> moves;
    for (auto& [address, requests] : groups) {
      RedisConnection& connection = *nodes_.at(address);
      try {
        for (Pending& pending : requests) {
          if (!pending.ask.empty()) connection.waitForBoundedReply();  // ASKING's OK
          RedisReplyPtr reply = connection.waitForBoundedReply();
          if (reply->type == kReplyError) {
            const RedisError error = RedisError::fromReply(replyText(*reply));
            const Reply kind = error.reply();
            if (kind == Reply::kMoved || kind == Reply::kAsk) {
              redirected = true;
              // The map changes now, the refresh waits for the last reply: until then no node
              // may be asked anything.
              if (kind == Reply::kMoved && error.arguments().size() >= 2)
                moves.emplace_back(slotOf(pending.index), error.arguments()[1]);
              refresh = true;
              const bool named = kind == Reply::kAsk && error.arguments().size() >= 2;
              todo.push_back(Pending{pending.index, named ? error.arguments()[1] : std::string()});
            } else if (kind == Reply::kTryAgain || kind == Reply::kClusterDown || kind == Reply::kReadOnly) {
              pause = true;
              refresh = refresh || kind == Reply::kReadOnly;
              todo.push_back(Pending{pending.index, {}});
            }
          }
          // A request sent again replaces it; one that ran out of retries keeps its error reply.
          replies[pending.index] = std::move(reply);
        }
      } catch (const RedisError& error) {
        failed(error);
        throw;
      }
    }
    if (refresh) noteMoves(moves);
    if (todo.empty()) break;
    if ((redirected && !retries.redirect()) || (pause && !retries.pause())) break;
  }
}

std::string ClusterClient::ping() {
  if (nodes_.empty()) node(map_->source());
  std::string answer;
  for (auto it = nodes_.begin(); it != nodes_.end(); ++it) {
    const std::string address = it->first;
    try {
      answer = it->second->ping();
    } catch (const RedisError& error) {
      if (error.kind() != RedisError::Kind::kReply) drop(address);
      throw;
    }
  }
  return answer;
}

void ClusterClient::checkIdle() {
  bool lost = Clock::now() - map_->fetchedAt() >= kRefreshEvery;
  for (auto it = nodes_.begin(); it != nodes_.end();) {
    try {
      it->second->checkIdle();
      ++it;
    } catch (const RedisError& error) {
      if (error.kind() == RedisError::Kind::kStopped) throw;
      // Nothing was pending on it: one node gone costs no failure while another one can tell
      // where its slots went.
      it = nodes_.erase(it);
      lost = true;
    }
  }
  if (lost) refreshMap();
}

RedisReplyPtr ClusterClient::keyCommand(const RedisArgs& args, std::chrono::milliseconds replyWait) {
  if (args.size() < 2) throw std::invalid_argument("keyCommand: a request without a key");
  return onKey(args[1], [&](RedisConnection& connection) {
    RedisReplyPtr reply = connection.keyCommand(args, replyWait);
    if (reply->type == kReplyError) {
      RedisError error = RedisError::fromReply(replyText(*reply));
      switch (error.reply()) {
        case Reply::kMoved:
        case Reply::kAsk:
        case Reply::kTryAgain:
        case Reply::kClusterDown:
        case Reply::kReadOnly:
          throw error;
        default:
          break;
      }
    }
    return reply;
  });
}

std::vector<RedisReplyPtr> ClusterClient::keyCommands(std::span<const RedisArgs> requests) {
  std::vector<RedisReplyPtr> replies;
  pipeline(
      requests.size(), [&](std::size_t i) { return keySlot(requests[i].at(1)); },
      [&](RequestBatch& batch, std::size_t i) { batch.appendArgs(requests[i]); }, replies);
  return replies;
}

std::int64_t ClusterClient::del(std::vector<std::string> keys) {
  // One DEL per key: keys of several slots in one DEL are refused (CROSSSLOT).
  std::vector<RedisReplyPtr> replies;
  static constexpr std::string_view kHead[] = {"DEL", {}};
  pipeline(
      keys.size(), [&](std::size_t i) { return keySlot(keys[i]); },
      [&](RequestBatch& batch, std::size_t i) {
        batch.appendRecord(kHead, RedisRecord{keys[i], {}});
      },
      replies);
  std::int64_t removed = 0;
  for (const RedisReplyPtr& reply : replies) {
    if (reply->type == kReplyError) throw RedisError::fromReply(replyText(*reply));
    if (reply->type == kReplyInteger) removed += reply->integer;
  }
  return removed;
}

std::int64_t ClusterClient::hdel(std::string_view key, const std::vector<std::string>& fields) {
  return onKey(key, [&](RedisConnection& connection) { return connection.hdel(key, fields); });
}

void ClusterClient::hset(const std::vector<RedisRecord>& records) {
  std::vector<RedisReplyPtr> replies;
  static constexpr std::string_view kHead[] = {"HSET", {}};
  pipeline(
      records.size(), [&](std::size_t i) { return keySlot(records[i].key); },
      [&](RequestBatch& batch, std::size_t i) { batch.appendRecord(kHead, records[i]); }, replies);
  for (const RedisReplyPtr& reply : replies) {
    if (reply->type == kReplyError) throw RedisError::fromReply(replyText(*reply));
  }
}

std::vector<std::optional<std::string>> ClusterClient::xaddEach(const std::vector<RedisRecord>& records,
                                                                std::uint64_t maxLength) {
  const StaticNumberText<20> maxLengthText(maxLength);
  const std::string_view head[] = {"XADD", {}, "MAXLEN", "~", maxLengthText, "*"};
  std::vector<RedisReplyPtr> replies;
  pipeline(
      records.size(), [&](std::size_t i) { return keySlot(records[i].key); },
      [&](RequestBatch& batch, std::size_t i) { batch.appendRecord(head, records[i]); }, replies);
  std::vector<std::optional<std::string>> outcomes(records.size());
  for (std::size_t i = 0; i < replies.size(); ++i) {
    if (replies[i]->type == kReplyError) outcomes[i].emplace(replyText(*replies[i]));
  }
  return outcomes;
}

void ClusterClient::xaddValues(std::span<const StreamValue> values, std::uint64_t maxLength,
                               std::vector<Refusal>& refusals) {
  refusals.clear();
  if (values.empty()) return;
  const StaticNumberText<20> maxLengthText(maxLength);
  const std::string_view head[] = {"XADD", {}, "MAXLEN", "~", maxLengthText, "*"};
  std::vector<RedisReplyPtr> replies;
  pipeline(
      values.size(), [&](std::size_t i) { return keySlot(values[i].key); },
      [&](RequestBatch& batch, std::size_t i) { batch.appendStreamValue(head, values[i]); }, replies);
  for (std::size_t i = 0; i < replies.size(); ++i) {
    if (replies[i]->type == kReplyError) refusals.push_back(Refusal{i, std::string(replyText(*replies[i]))});
  }
}

std::optional<std::vector<StreamEntry>> ClusterClient::xread(std::string_view streamKey,
                                                             std::string_view lastId, std::int64_t blockMs,
                                                             std::uint64_t count) {
  return onKey(streamKey, [&](RedisConnection& connection) {
    return connection.xread(streamKey, lastId, blockMs, count);
  });
}

std::vector<StreamEntry> ClusterClient::xrevrange(std::string_view streamKey, std::string_view end,
                                                  std::string_view start, std::uint64_t count) {
  return onKey(streamKey, [&](RedisConnection& connection) {
    return connection.xrevrange(streamKey, end, start, count);
  });
}

StreamReadAndAppend ClusterClient::xreadThenXadd(std::string_view streamKey, std::string_view lastId,
                                                 const std::vector<RedisRecord>& records,
                                                 const StreamTrim& trim, std::uint64_t readCount) {
  // A redirection answers the queued commands and aborts the transaction (EXECABORT): nothing of
  // it ran, so it goes whole to the node named.
  return onKey(streamKey, [&](RedisConnection& connection) {
    return connection.xreadThenXadd(streamKey, lastId, records, trim, readCount);
  });
}

std::int64_t ClusterClient::serverTimeMs(std::string_view key) {
  return onKey(key, [](RedisConnection& connection) { return connection.serverTimeMs(); });
}

}  // namespace ormanta::plugins::TulService
