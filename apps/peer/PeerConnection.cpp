#include "peer/PeerConnection.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <thread>

#include "redis/KeySlot.h"

namespace ormanta::peer {
namespace {

using plugins::TulService::RedisConnection;
using plugins::TulService::RedisError;
// Longer than any block time the tool asks for, so a blocking read is never cut short.
constexpr std::chrono::seconds kReplyTimeout{10};

std::string textOf(const redisReply* reply) {
  return reply == nullptr || reply->str == nullptr ? std::string() : std::string(reply->str, reply->len);
}

std::string describe(const std::vector<std::string>& args) {
  return args.empty() ? std::string() : args.front();
}

}  // namespace

const std::string* StreamEntry::field(std::string_view name) const {
  for (const auto& [key, value] : fields) {
    if (key == name) return &value;
  }
  return nullptr;
}

PeerConnection::PeerConnection(const Address& address,
                               const plugins::TulService::ConnectionSecurity& security)
    : address_(address.text()) {
  try {
    connection_ = std::make_unique<RedisConnection>(address_, security);
    connection_->connect(stop_, RedisConnection::kConnectTimeoutSeconds);
  } catch (const RedisError& error) {
    // A failed connect says why beside the service's one text for it.
    const std::string reason = error.kind() == RedisError::Kind::kConnect && !error.detail().empty()
                                   ? error.detail()
                                   : std::string(error.what());
    throw PeerError("cannot connect to " + address_ + ": " + reason);
  } catch (const std::exception& error) {
    throw PeerError("cannot connect to " + address_ + ": " + error.what());
  }
}

PeerConnection::PeerConnection(plugins::TulService::ServerLocator& locator) : locator_(&locator) {
  try {
    connection_ =
        locator.connectPrimaryServer(stop_, std::chrono::seconds(RedisConnection::kConnectTimeoutSeconds));
    address_ = locator.currentAddress();
  } catch (const RedisError& error) {
    // The locator's text names the sentinels' answer; detail() says why a connect failed.
    throw PeerError(std::string(error.what()) + (error.detail().empty() ? "" : ": " + error.detail()));
  } catch (const std::exception& error) {
    throw PeerError(error.what());
  }
}

PeerConnection::PeerConnection(plugins::TulService::ServerLocator& locator, Cluster) {
  try {
    locator.refreshSlotMap(stop_);
    address_ = locator.currentAddress();
    cluster_ = std::make_unique<plugins::TulService::ClusterClient>(
        locator, stop_, std::chrono::seconds(RedisConnection::kConnectTimeoutSeconds));
  } catch (const RedisError& error) {
    throw PeerError(error.what());
  }
}

PeerConnection::~PeerConnection() = default;

void PeerConnection::checkPrimary() {
  // A cluster's client follows its redirections itself.
  if (locator_ == nullptr) return;
  std::string named;
  try {
    named = locator_->askSentinels(stop_);
  } catch (const RedisError&) {
    return;
  }
  if (named != address_) throw PeerError("the primary moved to " + named);
}

ReplyPtr PeerConnection::command(const std::vector<std::string>& args) {
  try {
    const plugins::TulService::RedisArgs request(args.begin(), args.end());
    if (cluster_) return cluster_->keyCommand(request, kReplyTimeout);
    connection_->sendCommand(request);
    return connection_->waitForReply(kReplyTimeout);
  } catch (const std::exception& error) {
    throw PeerError("connection to " + address_ + " failed: " + error.what());
  }
}

ReplyPtr PeerConnection::expectType(const std::vector<std::string>& args, int type) {
  ReplyPtr reply = command(args);
  if (reply->type == REDIS_REPLY_ERROR) throw PeerError(describe(args) + ": " + textOf(reply.get()));
  if (reply->type != type)
    throw PeerError(describe(args) + ": unexpected reply type " + std::to_string(reply->type));
  return reply;
}

std::vector<std::pair<std::string, std::string>> PeerConnection::hgetall(const std::string& key) {
  ReplyPtr reply = expectType({"HGETALL", key}, REDIS_REPLY_ARRAY);
  std::vector<std::pair<std::string, std::string>> pairs;
  for (std::size_t i = 0; i + 1 < reply->elements; i += 2) {
    pairs.emplace_back(textOf(reply->element[i]), textOf(reply->element[i + 1]));
  }
  return pairs;
}

std::optional<std::string> PeerConnection::hget(const std::string& key, const std::string& field) {
  ReplyPtr reply = command({"HGET", key, field});
  if (reply->type == REDIS_REPLY_NIL) return std::nullopt;
  if (reply->type != REDIS_REPLY_STRING) throw PeerError("HGET: " + textOf(reply.get()));
  return textOf(reply.get());
}

std::string PeerConnection::xadd(const std::string& key, const std::vector<std::string>& fieldsAndValues) {
  std::vector<std::string> args = {"XADD", key, "*"};
  args.insert(args.end(), fieldsAndValues.begin(), fieldsAndValues.end());
  return textOf(expectType(args, REDIS_REPLY_STRING).get());
}

std::string PeerConnection::lastEntryId(const std::string& key) {
  ReplyPtr reply = expectType({"XREVRANGE", key, "+", "-", "COUNT", "1"}, REDIS_REPLY_ARRAY);
  if (reply->elements == 0 || reply->element[0]->elements == 0) return "0-0";
  return textOf(reply->element[0]->element[0]);
}

std::vector<StreamEntry> PeerConnection::xread(const std::vector<std::string>& keys,
                                               std::vector<std::string>& ids, std::chrono::milliseconds block,
                                               int count) {
  std::vector<std::string> args = {"XREAD",
                                   "COUNT",
                                   std::to_string(count),
                                   "BLOCK",
                                   std::to_string(std::max<long long>(block.count(), 1)),
                                   "STREAMS"};
  args.insert(args.end(), keys.begin(), keys.end());
  args.insert(args.end(), ids.begin(), ids.end());
  if (cluster_) return clusterXread(keys, ids, block, count);
  std::vector<StreamEntry> entries;
  takeEntries(*command(args), keys, ids, entries);
  return entries;
}

std::vector<StreamEntry> PeerConnection::clusterXread(const std::vector<std::string>& keys,
                                                      std::vector<std::string>& ids,
                                                      std::chrono::milliseconds block, int count) {
  std::map<std::uint16_t, std::vector<std::size_t>> slots;
  for (std::size_t i = 0; i < keys.size(); ++i) slots[plugins::TulService::keySlot(keys[i])].push_back(i);
  const auto deadline = std::chrono::steady_clock::now() + block;
  std::vector<StreamEntry> entries;
  for (;;) {
    const bool blocking = slots.size() == 1;
    std::vector<std::vector<std::string>> texts;
    for (const auto& [slot, members] : slots) {
      std::vector<std::string> args = {"XREAD", "COUNT", std::to_string(count)};
      if (blocking) args.insert(args.end(), {"BLOCK", std::to_string(std::max<long long>(block.count(), 1))});
      args.push_back("STREAMS");
      for (std::size_t i : members) args.push_back(keys[i]);
      for (std::size_t i : members) args.push_back(ids[i]);
      texts.push_back(std::move(args));
    }
    if (blocking) {
      takeEntries(*command(texts.front()), keys, ids, entries);
      return entries;
    }
    std::vector<plugins::TulService::RedisArgs> requests;
    for (const auto& args : texts) requests.emplace_back(args.begin(), args.end());
    std::vector<ReplyPtr> replies;
    try {
      replies = cluster_->keyCommands(requests);
    } catch (const std::exception& error) {
      throw PeerError("connection to the cluster failed: " + std::string(error.what()));
    }
    for (const ReplyPtr& reply : replies) takeEntries(*reply, keys, ids, entries);
    const auto left = deadline - std::chrono::steady_clock::now();
    if (!entries.empty() || left <= std::chrono::milliseconds::zero()) return entries;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kClusterPoll, left));
  }
}

void PeerConnection::takeEntries(const redisReply& replied, const std::vector<std::string>& keys,
                                 std::vector<std::string>& ids, std::vector<StreamEntry>& entries) {
  const redisReply* reply = &replied;
  if (reply->type == REDIS_REPLY_NIL) return;  // nothing within the block time
  if (reply->type == REDIS_REPLY_ERROR) throw PeerError("XREAD: " + textOf(reply));
  if (reply->type != REDIS_REPLY_ARRAY) throw PeerError("XREAD: unexpected reply");
  for (std::size_t s = 0; s < reply->elements; ++s) {
    const redisReply* stream = reply->element[s];
    if (stream->type != REDIS_REPLY_ARRAY || stream->elements != 2)
      throw PeerError("XREAD: unexpected reply");
    const std::string key = textOf(stream->element[0]);
    const auto position = std::find(keys.begin(), keys.end(), key) - keys.begin();
    const redisReply* list = stream->element[1];
    for (std::size_t e = 0; e < list->elements; ++e) {
      const redisReply* item = list->element[e];
      if (item->type != REDIS_REPLY_ARRAY || item->elements != 2) continue;
      StreamEntry entry{key, textOf(item->element[0]), {}};
      const redisReply* fields = item->element[1];
      for (std::size_t f = 0; fields->type == REDIS_REPLY_ARRAY && f + 1 < fields->elements; f += 2) {
        entry.fields.emplace_back(textOf(fields->element[f]), textOf(fields->element[f + 1]));
      }
      if (position < static_cast<std::ptrdiff_t>(ids.size()))
        ids[static_cast<std::size_t>(position)] = entry.id;
      entries.push_back(std::move(entry));
    }
  }
}

}  // namespace ormanta::peer
