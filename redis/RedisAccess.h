#pragma once

// RedisAccess: the requests the service's workers make, whoever serves them. A RedisConnection
// sends them all to one server; a ClusterClient sends each to the node of a Redis Cluster that
// owns its key, and follows the cluster's redirections. The workers see no difference.
//
// Threads: as RedisConnection (redis/RedisConnection.h): an object belongs to the thread that
// made it; after any exception its owner destroys it and builds a new one. Errors are
// RedisError (redis/RedisErrors.h).

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "redis/RedisErrors.h"
#include "redis/RedisTypes.h"

namespace ormanta::plugins::TulService {

class RedisAccess {
 public:
  virtual ~RedisAccess() = default;

  // A round trip to every server this client talks to; throws an error reply.
  virtual std::string ping() = 0;
  // Between requests: throws when a server closed the connection or sent something unasked.
  virtual void checkIdle() = 0;
  // One request about the key args[1]; its reply, error replies included, awaited replyWait
  // (zero: the reply time-out).
  virtual RedisReplyPtr keyCommand(const RedisArgs& args, std::chrono::milliseconds replyWait = {}) = 0;

  // The number of keys removed; throws an error reply.
  virtual std::int64_t del(std::vector<std::string> keys) = 0;
  // The number of fields removed; throws an error reply.
  virtual std::int64_t hdel(std::string_view key, const std::vector<std::string>& fields) = 0;
  // One HSET per record, pipelined; every reply is read, then the first error reply throws.
  virtual void hset(const std::vector<RedisRecord>& records) = 0;
  // One XADD per record, pipelined; each record's outcome: an error reply's text, or nothing.
  virtual std::vector<std::optional<std::string>> xaddEach(const std::vector<RedisRecord>& records,
                                                           std::uint64_t maxLength) = 0;
  // One XADD of a "value" field per entry, pipelined; refusals as RedisConnection::xaddValues.
  virtual void xaddValues(std::span<const StreamValue> values, std::uint64_t maxLength,
                          std::vector<Refusal>& refusals) = 0;
  // XREAD of one stream; empty optional when the block time ran out.
  virtual std::optional<std::vector<StreamEntry>> xread(std::string_view streamKey, std::string_view lastId,
                                                        std::int64_t blockMs, std::uint64_t count) = 0;
  virtual std::vector<StreamEntry> xrevrange(std::string_view streamKey, std::string_view end,
                                             std::string_view start, std::uint64_t count) = 0;
  // MULTI; XREAD; XADD...; EXEC on one stream: RedisConnection::xreadThenXadd.
  virtual StreamReadAndAppend xreadThenXadd(std::string_view streamKey, std::string_view lastId,
                                            const std::vector<RedisRecord>& records, const StreamTrim& trim,
                                            std::uint64_t readCount = 0) = 0;
  // The clock (TIME, in ms since 1970) of the server that holds key: what its entry IDs count in.
  virtual std::int64_t serverTimeMs(std::string_view key) = 0;

  virtual std::uint64_t replyTimeoutSeconds() const noexcept = 0;
};

}  // namespace ormanta::plugins::TulService
