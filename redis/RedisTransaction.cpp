// xreadThenXadd: a read of a stream and appends to it in one MULTI/EXEC, in one round trip.

#include <optional>
#include <stdexcept>

#include "redis/RedisConnection.h"
#include "redis/StaticNumberText.h"
#include "redis/StreamDecoding.h"

namespace ormanta::plugins::TulService {

namespace {

std::string textOf(const redisReply& reply) {
  return reply.str == nullptr ? std::string() : std::string(reply.str, reply.len);
}

bool isStatus(const redisReply& reply, std::string_view text) {
  return reply.type == kReplyStatus && std::string_view(reply.str, reply.len) == text;
}

[[noreturn]] void throwOutOfStep() {
  throw RedisError(RedisError::Kind::kProtocol, "unexpected Redis reply to a transaction");
}

// Reads the replies of MULTI, the queued commands and EXEC; gives EXEC's array of results.
// A queueing error aborts the transaction (EXECABORT); its own text says more, so it is thrown.
const redisReply& execResults(const std::vector<RedisReplyPtr>& replies) {
  const redisReply& multi = *replies.front();
  if (multi.type == kReplyError) throw RedisError::fromReply(textOf(multi));
  if (!isStatus(multi, "OK")) throwOutOfStep();
  std::optional<std::string> queueError;
  for (std::size_t i = 1; i + 1 < replies.size(); ++i) {
    const redisReply& queued = *replies[i];
    if (queued.type == kReplyError) {
      if (!queueError) queueError.emplace(textOf(queued));
    } else if (!isStatus(queued, "QUEUED")) {
      throwOutOfStep();
    }
  }
  const redisReply& exec = *replies.back();
  if (exec.type == kReplyError) throw RedisError::fromReply(queueError ? *queueError : textOf(exec));
  if (queueError) throwOutOfStep();  // an aborted transaction answers EXEC with an error
  if (exec.type != kReplyArray || exec.elements != replies.size() - 2) throwOutOfStep();
  return exec;
}

}  // namespace

StreamReadAndAppend RedisConnection::xreadThenXadd(std::string_view streamKey, std::string_view lastId,
                                                   const std::vector<RedisRecord>& records,
                                                   const StreamTrim& trim, std::uint64_t readCount) {
  for (const RedisRecord& record : records) {
    if (record.key != streamKey) throw std::invalid_argument("xreadThenXadd: a record for another stream");
  }
  batch_.clear();
  batch_.append(formatter_.format({"MULTI"}));
  if (readCount == 0) {
    batch_.append(formatter_.format({"XREAD", "STREAMS", streamKey, lastId}));
  } else {
    const StaticNumberText<20> countText(readCount);
    batch_.append(formatter_.format({"XREAD", "COUNT", countText, "STREAMS", streamKey, lastId}));
  }
  const std::string_view head[] = {"XADD", {}, trim.strategy, "~", trim.threshold, "*"};
  batch_.appendRecords(head, records);
  batch_.append(formatter_.format({"EXEC"}));
  const std::string_view bytes = batch_.bytes();
  transport().write(bytes.data(), bytes.size());
  batch_.clear();

  // MULTI, XREAD, one XADD per record, EXEC: all read before any is judged.
  std::vector<RedisReplyPtr> replies(records.size() + 3);
  for (RedisReplyPtr& reply : replies) reply = waitForBoundedReply();
  const redisReply& results = execResults(replies);

  for (std::size_t i = 0; i < results.elements; ++i) {
    if (results.element[i]->type == kReplyError) throw RedisError::fromReply(textOf(*results.element[i]));
  }
  StreamReadAndAppend outcome;
  const redisReply& read = *results.element[0];
  if (read.type == kReplyArray) {
    outcome.entries = decodeStreamReply(read, streamKey);
  } else if (read.type != kReplyNil) {
    throwOutOfStep();
  }
  outcome.addedIds.reserve(results.elements - 1);
  for (std::size_t i = 1; i < results.elements; ++i) {
    const redisReply& added = *results.element[i];
    if (added.type != kReplyString) throwOutOfStep();
    outcome.addedIds.push_back(textOf(added));
  }
  return outcome;
}

}  // namespace ormanta::plugins::TulService
