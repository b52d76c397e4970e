// The six commands of RedisConnection: argument lists, pipelining and reply checks.

#include <stdexcept>

#include "redis/RedisConnection.h"
#include "redis/StaticNumberText.h"
#include "redis/StreamDecoding.h"

namespace ormanta::plugins::TulService {

namespace {

std::int64_t integerOf(const redisReply& reply) noexcept {
  return reply.type == kReplyInteger ? static_cast<std::int64_t>(reply.integer) : 0;
}

void throwIfError(const redisReply& reply) {
  if (reply.type == kReplyError) {
    throw std::runtime_error(reply.str == nullptr ? std::string() : std::string(reply.str, reply.len));
  }
}

}  // namespace

std::string RedisConnection::ping() {
  sendCommand({"PING"});
  const RedisReplyPtr reply = waitForBoundedReply();
  return reply->str == nullptr ? std::string() : std::string(reply->str, reply->len);
}

std::int64_t RedisConnection::del(std::vector<std::string> keys) {
  RedisArgs args;
  args.reserve(keys.size() + 1);
  args.emplace_back("DEL");
  args.insert(args.end(), keys.begin(), keys.end());
  sendCommand(args);
  return integerOf(*waitForBoundedReply());
}

std::int64_t RedisConnection::hdel(std::string_view key, const std::vector<std::string>& fields) {
  RedisArgs args;
  args.reserve(fields.size() + 2);
  args.emplace_back("HDEL");
  args.emplace_back(key);
  args.insert(args.end(), fields.begin(), fields.end());
  sendCommand(args);
  return integerOf(*waitForBoundedReply());
}

void RedisConnection::hset(const std::vector<RedisRecord>& records) {
  pipelineRecords({"HSET", {}}, records);
}

void RedisConnection::xadd(const std::vector<RedisRecord>& records, std::uint64_t maxLength) {
  const StaticNumberText<20> maxLengthText(maxLength);
  pipelineRecords({"XADD", {}, "MAXLEN", "~", maxLengthText, "*"}, records);
}

std::optional<std::vector<StreamEntry>> RedisConnection::xread(std::string_view streamKey,
                                                               std::string_view lastId,
                                                               std::optional<std::int64_t> blockMs) {
  const StaticNumberText<20> blockText(blockMs.value_or(0));
  sendCommand({"XREAD", "BLOCK", blockText, "STREAMS", streamKey, lastId});
  const RedisReplyPtr reply = waitForReplyUnbounded();
  if (reply->type == kReplyNil) return std::nullopt;
  throwIfError(*reply);
  return decodeStreamReply(*reply, streamKey);
}

void RedisConnection::pipelineRecords(const RedisArgs& head, const std::vector<RedisRecord>& records) {
  if (records.empty()) return;
  batch_.clear();
  batch_.appendRecords(head, records);
  const std::string_view bytes = batch_.bytes();
  write(bytes.data(), bytes.size());
  batch_.clear();
  for (std::size_t i = 0; i < records.size(); ++i) throwIfError(*waitForBoundedReply());
}

}  // namespace ormanta::plugins::TulService
