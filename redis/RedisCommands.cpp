// The Redis commands of RedisConnection: argument lists, pipelining and reply checks.

#include <charconv>
#include <stdexcept>

#include "redis/RedisConnection.h"
#include "redis/StaticNumberText.h"
#include "redis/StreamDecoding.h"

namespace ormanta::plugins::TulService {

namespace {

std::int64_t integerOf(const redisReply& reply) noexcept {
  return reply.type == kReplyInteger ? static_cast<std::int64_t>(reply.integer) : 0;
}

std::string replyBytes(const redisReply& reply) {
  return reply.str == nullptr ? std::string() : std::string(reply.str, reply.len);
}

void throwIfError(const redisReply& reply) {
  if (reply.type == kReplyError) throw RedisError::fromReply(replyText(reply));
}

}  // namespace

RedisReplyPtr RedisConnection::command(const RedisArgs& args) {
  sendCommand(args);
  return waitForBoundedReply();
}

RedisReplyPtr RedisConnection::keyCommand(const RedisArgs& args, std::chrono::milliseconds replyWait) {
  sendCommand(args);
  return replyWait.count() > 0 ? waitForReply(replyWait) : waitForBoundedReply();
}

std::string RedisConnection::role() {
  const RedisReplyPtr reply = command({"ROLE"});
  throwIfError(*reply);
  if (reply->type != kReplyArray || reply->elements == 0) {
    throw RedisError(RedisError::Kind::kProtocol, "unexpected Redis reply to ROLE");
  }
  return std::string(replyText(*reply->element[0]));
}

std::string RedisConnection::ping() {
  sendCommand({"PING"});
  const RedisReplyPtr reply = waitForBoundedReply();
  // A refused keep-alive (NOPERM, NOAUTH) means the server no longer serves this connection.
  throwIfError(*reply);
  return reply->str == nullptr ? std::string() : std::string(reply->str, reply->len);
}

std::int64_t RedisConnection::del(std::vector<std::string> keys) {
  RedisArgs args;
  args.reserve(keys.size() + 1);
  args.emplace_back("DEL");
  args.insert(args.end(), keys.begin(), keys.end());
  sendCommand(args);
  // A refused DEL (NOPERM) would leave a stale registration behind a run that looks done.
  const RedisReplyPtr reply = waitForBoundedReply();
  throwIfError(*reply);
  return integerOf(*reply);
}

std::int64_t RedisConnection::hdel(std::string_view key, const std::vector<std::string>& fields) {
  RedisArgs args;
  args.reserve(fields.size() + 2);
  args.emplace_back("HDEL");
  args.emplace_back(key);
  args.insert(args.end(), fields.begin(), fields.end());
  sendCommand(args);
  const RedisReplyPtr reply = waitForBoundedReply();
  throwIfError(*reply);
  return integerOf(*reply);
}

void RedisConnection::hset(const std::vector<RedisRecord>& records) {
  static constexpr std::string_view kHead[] = {"HSET", {}};
  pipelineRecords(kHead, records);
}

void RedisConnection::xadd(const std::vector<RedisRecord>& records, std::uint64_t maxLength) {
  const StaticNumberText<20> maxLengthText(maxLength);
  // An array, not an argument list: a pass of one value allocates nothing for its head.
  const std::string_view head[] = {"XADD", {}, "MAXLEN", "~", maxLengthText, "*"};
  pipelineRecords(head, records);
}

std::optional<std::vector<StreamEntry>> RedisConnection::xread(std::string_view streamKey,
                                                               std::string_view lastId, std::int64_t blockMs,
                                                               std::uint64_t count) {
  if (blockMs < 1) throw std::invalid_argument("xread: a block time below 1 ms would wait without limit");
  const StaticNumberText<20> blockText(blockMs);
  const StaticNumberText<20> countText(count);
  sendCommand({"XREAD", "COUNT", countText, "BLOCK", blockText, "STREAMS", streamKey, lastId});
  // The server answers within the block time: a reply later than that plus the reply time-out
  // means a server (or a path to it) that stopped answering, which keep-alive cannot see while
  // the far end's kernel still acknowledges.
  const RedisReplyPtr reply = waitForReply(std::chrono::milliseconds(blockMs) + replyTimeout());
  if (reply->type == kReplyNil) return std::nullopt;
  throwIfError(*reply);
  return decodeStreamReply(*reply, streamKey);
}

void RedisConnection::flushBatch() {
  if (batch_.empty()) return;
  const std::string_view bytes = batch_.bytes();
  transport().write(bytes.data(), bytes.size());
  batch_.clear();
}

template <class Item, class Append>
void RedisConnection::writeEach(std::span<const Item> items, Append append) {
  // Written in chunks as they are formatted: the server works on the first requests while the
  // next are formatted, the buffer stays small, and a stop is seen within one chunk. Every
  // request is still written before the first reply is read.
  batch_.clear();
  for (const Item& item : items) {
    append(batch_, item);
    if (batch_.size() >= kWriteChunkBytes) flushBatch();
  }
  flushBatch();
}

void RedisConnection::writeRecords(std::span<const std::string_view> head,
                                   const std::vector<RedisRecord>& records) {
  writeEach(std::span<const RedisRecord>(records),
            [head](RequestBatch& batch, const RedisRecord& record) { batch.appendRecord(head, record); });
}

void RedisConnection::awaitReplies(std::size_t count) {
  // Every reply is read before an error is reported: a connection closed with replies unread
  // makes the server drop requests it has not executed yet, and with them good records.
  std::optional<std::string> firstError;
  for (std::size_t i = 0; i < count; ++i) {
    const RedisReplyPtr reply = waitForBoundedReply();
    if (reply->type == kReplyError && !firstError) firstError.emplace(replyBytes(*reply));
  }
  if (firstError) throw RedisError::fromReply(*firstError);
}

void RedisConnection::collectRefusals(std::size_t count, std::vector<Refusal>& refusals) {
  refusals.clear();
  for (std::size_t i = 0; i < count; ++i) {
    const RedisReplyPtr reply = waitForBoundedReply();
    if (reply->type == kReplyError) refusals.push_back(Refusal{i, replyBytes(*reply)});
  }
}

void RedisConnection::xaddValues(std::span<const StreamValue> values, std::uint64_t maxLength,
                                 std::vector<Refusal>& refusals) {
  refusals.clear();
  if (values.empty()) return;
  const StaticNumberText<20> maxLengthText(maxLength);
  const std::string_view head[] = {"XADD", {}, "MAXLEN", "~", maxLengthText, "*"};
  writeEach(values,
            [&head](RequestBatch& batch, const StreamValue& value) { batch.appendStreamValue(head, value); });
  collectRefusals(values.size(), refusals);
}

std::int64_t RedisConnection::serverTimeMs() {
  sendCommand({"TIME"});
  const RedisReplyPtr reply = waitForBoundedReply();
  throwIfError(*reply);
  // [seconds, microseconds], both as decimal texts.
  std::int64_t parts[2] = {0, 0};
  if (reply->type != kReplyArray || reply->elements != 2) {
    throw RedisError(RedisError::Kind::kProtocol, "unexpected Redis reply to TIME");
  }
  for (std::size_t i = 0; i < 2; ++i) {
    const std::string_view text = replyText(*reply->element[i]);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parts[i]);
    if (error != std::errc() || end != text.data() + text.size()) {
      throw RedisError(RedisError::Kind::kProtocol, "unexpected Redis reply to TIME");
    }
  }
  return parts[0] * 1000 + parts[1] / 1000;
}

std::vector<StreamEntry> RedisConnection::xrevrange(std::string_view streamKey, std::string_view end,
                                                    std::string_view start, std::uint64_t count) {
  const StaticNumberText<20> countText(count);
  sendCommand({"XREVRANGE", streamKey, end, start, "COUNT", countText});
  const RedisReplyPtr reply = waitForBoundedReply();
  throwIfError(*reply);
  return decodeRangeReply(*reply);
}

void RedisConnection::checkIdle() {
  // Readable with nothing asked for: the server closed the connection (the read throws) or
  // sent something out of turn.
  while (transport().waitForData(std::chrono::nanoseconds::zero())) {
    const std::span<const char> bytes = transport().readAvailable();
    if (bytes.empty()) return;  // a TLS record without plain text, say
    feed(bytes);
    if (tryGetReply()) throw RedisError(RedisError::Kind::kProtocol, "unexpected Redis reply");
  }
}

std::vector<std::optional<std::string>> RedisConnection::xaddEach(const std::vector<RedisRecord>& records,
                                                                  std::uint64_t maxLength) {
  const StaticNumberText<20> maxLengthText(maxLength);
  const std::string_view head[] = {"XADD", {}, "MAXLEN", "~", maxLengthText, "*"};
  writeRecords(head, records);
  std::vector<std::optional<std::string>> outcomes(records.size());
  for (std::optional<std::string>& outcome : outcomes) {
    const RedisReplyPtr reply = waitForBoundedReply();
    if (reply->type == kReplyError) outcome.emplace(replyBytes(*reply));
  }
  return outcomes;
}

void RedisConnection::pipelineRecords(std::span<const std::string_view> head,
                                      const std::vector<RedisRecord>& records) {
  if (records.empty()) return;
  writeRecords(head, records);
  awaitReplies(records.size());
}

}  // namespace ormanta::plugins::TulService
