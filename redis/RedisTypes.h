#pragma once

// Value types of the Redis client. Plain data: no thread affinity of their own.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "redis/HiredisCompat.h"

namespace ormanta::plugins::TulService {

// hiredis' reply type numbers, the ones the client tests for.
inline constexpr int kReplyString = REDIS_REPLY_STRING;    // 1
inline constexpr int kReplyArray = REDIS_REPLY_ARRAY;      // 2
inline constexpr int kReplyInteger = REDIS_REPLY_INTEGER;  // 3
inline constexpr int kReplyNil = REDIS_REPLY_NIL;          // 4
inline constexpr int kReplyStatus = REDIS_REPLY_STATUS;    // 5
inline constexpr int kReplyError = REDIS_REPLY_ERROR;      // 6
inline constexpr int kReplyPush = REDIS_REPLY_PUSH;        // 12

struct RedisReplyDeleter {
  void operator()(redisReply* reply) const noexcept { freeReplyObject(reply); }
};

// One hiredis reply object, released exactly once; null means "no complete reply yet".
using RedisReplyPtr = std::unique_ptr<redisReply, RedisReplyDeleter>;

struct RedisReaderDeleter {
  void operator()(redisReader* reader) const noexcept { redisReaderFree(reader); }
};
using RedisReaderPtr = std::unique_ptr<redisReader, RedisReaderDeleter>;

// The most elements one array of a reply may announce. hiredis allocates an array's element
// pointers as soon as it reads the header, so a corrupt or hostile "*299999999" would cost
// 2.4 GB at once (0.14 has no limit; 1.x allows 2^32 - 1). This leaves room for HGETALL of a
// catalogue of four million data points.
inline constexpr long long kMaxReplyElements = 8LL * 1024 * 1024;

// A reply reader that refuses a longer array as a protocol error; throws std::bad_alloc when
// none can be made. Any thread.
RedisReaderPtr makeRedisReader();

// The arguments of one command, the command name first. The views may hold any bytes and
// must stay valid until the call that takes them has returned.
using RedisArgs = std::vector<std::string_view>;

// The fields of one hash (HSET) or one stream entry (XADD); their order carries no meaning.
using RedisFields = std::unordered_map<std::string, std::string>;

struct RedisRecord {
  std::string key;  // hash key for hset, stream key for xadd
  RedisFields fields;
};

// One entry { "value": text } for the stream at key, as a publishing pass appends it. The key is
// a view: what it points at must outlive the call that takes it.
struct StreamValue {
  std::string_view key;
  std::string text;
};

// A field repeated within one stream entry keeps all its values, in entry order.
using StreamFieldValues = std::unordered_map<std::string, std::vector<std::string>>;

struct StreamEntry {
  std::string id;
  StreamFieldValues fields;

  bool operator==(const StreamEntry&) const = default;
};

// A stream entry ID "<ms>-<seq>": the server's clock in milliseconds when the entry was added,
// and a sequence number within that millisecond. Orders as the stream does.
struct StreamId {
  std::uint64_t ms = 0;
  std::uint64_t seq = 0;

  // Nothing unless text is exactly two decimal numbers joined by "-".
  static std::optional<StreamId> parse(std::string_view text) noexcept;
  std::string text() const { return std::to_string(ms) + "-" + std::to_string(seq); }
  auto operator<=>(const StreamId&) const = default;
};

// How an XADD trims its stream: "MAXLEN ~ n" keeps about the newest n entries, "MINID ~ id"
// (Redis 6.2 and later) drops the entries older than id, in whole blocks ("~").
struct StreamTrim {
  static StreamTrim maxLength(std::uint64_t entries) { return {"MAXLEN", std::to_string(entries)}; }
  static StreamTrim minId(std::string id) { return {"MINID", std::move(id)}; }

  std::string_view strategy;
  std::string threshold;
};

// An entry of a pipelined call that the server refused: its position in the call and the
// server's text.
struct Refusal {
  std::size_t index = 0;
  std::string text;
};

// The outcome of RedisConnection::xreadThenXadd: the entries read, in stream order, and the IDs
// of the entries appended, in order.
struct StreamReadAndAppend {
  std::vector<StreamEntry> entries;
  std::vector<std::string> addedIds;
};

}  // namespace ormanta::plugins::TulService
