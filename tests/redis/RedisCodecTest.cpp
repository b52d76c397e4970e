// Number texts and XREAD reply decoding, without sockets: replies are RESP bytes fed through
// hiredis' own reader, as the connection does.

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "ormanta/utils/eh/CurrentErrorCode.h"
#include "redis/RedisErrors.h"
#include "redis/StaticNumberText.h"
#include "redis/StreamDecoding.h"

namespace {

using namespace std::string_literals;
using ormanta::plugins::TulService::decodeFieldArray;
using ormanta::plugins::TulService::decodeStreamReply;
using ormanta::plugins::TulService::RedisError;
using ormanta::plugins::TulService::RedisReplyPtr;
using ormanta::plugins::TulService::StaticNumberText;
using ormanta::plugins::TulService::StreamEntry;

// Refusing a text beyond the capacity is the host's BasicStaticString (StaticStringTest).
TEST(StaticNumberText, WidensEachNumberTypeBeforeFormattingIt) {
  EXPECT_EQ(StaticNumberText<20>(std::numeric_limits<std::int64_t>::min()).view(), "-9223372036854775808");
  EXPECT_EQ(StaticNumberText<20>(std::numeric_limits<std::uint64_t>::max()).view(), "18446744073709551615");
  EXPECT_EQ(StaticNumberText<24>(12.5f).view(), "12.5");
  EXPECT_EQ(StaticNumberText<6>(std::int16_t{-300}).view(), "-300");
}

// RESP builders, so that each case shows its shape rather than its byte counts.
std::string bulk(std::string_view text) {
  return "$" + std::to_string(text.size()) + "\r\n" + std::string(text) + "\r\n";
}

std::string array(std::initializer_list<std::string> items) {
  std::string out = "*" + std::to_string(items.size()) + "\r\n";
  for (const auto& item : items) out += item;
  return out;
}

std::string fields(std::initializer_list<std::string_view> texts) {
  std::string out = "*" + std::to_string(texts.size()) + "\r\n";
  for (const auto text : texts) out += bulk(text);
  return out;
}

std::string entry(std::string_view id, const std::string& fieldArray) {
  return array({bulk(id), fieldArray});
}

RedisReplyPtr replyFrom(std::string_view bytes) {
  std::unique_ptr<redisReader, decltype(&redisReaderFree)> reader(redisReaderCreate(), &redisReaderFree);
  redisReaderFeed(reader.get(), bytes.data(), bytes.size());
  void* reply = nullptr;
  EXPECT_EQ(redisReaderGetReply(reader.get(), &reply), REDIS_OK);
  EXPECT_NE(reply, nullptr) << "incomplete: " << bytes;
  return RedisReplyPtr(static_cast<redisReply*>(reply));
}

std::vector<StreamEntry> decode(const std::string& bytes, std::string_view key) {
  return decodeStreamReply(*replyFrom(bytes), key);
}

TEST(DecodeStreamReply, TakesTheNamedStreamsEntriesInOrderAndPairsTheirFields) {
  const std::string reply =
      array({array({bulk("cmds"), array({entry("1-0", fields({"name", "a", "x", "1", "name", "b"}))})}),
             array({bulk("other"), array({entry("1-1", fields({"f", "v"}))})}),
             array({bulk("cmds"), array({entry("2-0", fields({"cmd", "subscribe", "g", "", "odd"}))})})});
  EXPECT_EQ(decode(reply, "cmds"),
            (std::vector<StreamEntry>{{"1-0", {{"name", {"a", "b"}}, {"x", {"1"}}}},
                                      {"2-0", {{"cmd", {"subscribe"}}, {"g", {""}}}}}));
  EXPECT_EQ(decode(reply, "other").size(), 1u);
  for (const char* key : {"mine", "cmd", "cmdsX"}) EXPECT_TRUE(decode(reply, key).empty()) << key;
}

TEST(DecodeStreamReply, SkipsElementsOfAnyOtherShape) {
  // Entries with a one-, zero-element, nil or non-array field list, an integer ID, a part
  // missing or one too many, or no array at all; then top-level elements of the same kinds.
  const std::string entries =
      array({entry("1-0", fields({"lonely"})), entry("2-0", fields({})), entry("3-0", "*-1\r\n"),
             entry("4-0", bulk("notAnArray")), array({":7\r\n", fields({"f", "v"})}), array({bulk("5-0")}),
             array({bulk("6-0"), fields({"f", "v"}), bulk("extra")}), bulk("7-0"),
             entry("9-0", fields({"f", "v"}))});
  const auto decoded = decode(
      array({bulk("s"), array({bulk("s")}), array({":1\r\n", "*0\r\n"}), array({bulk("s"), bulk("entries?")}),
             array({bulk("s"), "*0\r\n", "*0\r\n"}), array({bulk("s"), entries})}),
      "s");
  ASSERT_EQ(decoded.size(), 1u);
  EXPECT_EQ(decoded[0].id, "9-0");
  EXPECT_FALSE(decodeFieldArray(nullptr));
  for (const char* reply : {"*0\r\n", ":3\r\n", "$1\r\ns\r\n", "*-1\r\n"})
    EXPECT_TRUE(decode(reply, "s").empty()) << reply;
}

TEST(DecodeStreamReply, TextsKeepEveryByteZeroBytesIncluded) {
  const std::string reply =
      array({array({bulk("s\0x"s), array({entry("1-0\0x"s, fields({"cmd"s, "set\0x"s}))})}),
             array({bulk("s"), array({entry("2-0", fields({"fi\0eld"s, "\0"s}))})})});
  EXPECT_EQ(decode(reply, "s\0x"s), (std::vector<StreamEntry>{{"1-0\0x"s, {{"cmd", {"set\0x"s}}}}}));
  EXPECT_EQ(decode(reply, "s"), (std::vector<StreamEntry>{{"2-0", {{"fi\0eld"s, {"\0"s}}}}}))
      << "a stream key cut at its zero byte is another stream";
}

// Error replies are told apart by their first word and arguments, never by matching texts
// elsewhere; the code the host records for one is the code its text always had.
TEST(RedisErrorTest, ErrorRepliesHaveTheirKindPrefixAndArgumentsAndTheHostsOldCode) {
  using Reply = RedisError::Reply;
  const struct {
    std::string text;
    Reply reply;
    std::vector<std::string> arguments;
    bool onlyItsKey;
  } cases[] = {
      {"MOVED 3999 127.0.0.1:6381", Reply::kMoved, {"3999", "127.0.0.1:6381"}, false},
      {"ASK 3999 127.0.0.1:6381", Reply::kAsk, {"3999", "127.0.0.1:6381"}, false},
      {"TRYAGAIN Multiple keys request during rehashing of slot", Reply::kTryAgain, {}, false},
      {"CLUSTERDOWN The cluster is down", Reply::kClusterDown, {}, false},
      {"READONLY You can't write against a read only replica.", Reply::kReadOnly, {}, false},
      {"UNBLOCKED force unblock from blocking operation, instance state changed (master -> replica?)",
       Reply::kUnblocked,
       {},
       false},
      {"MASTERDOWN Link with MASTER is down and replica-serve-stale-data is set to 'no'.",
       Reply::kMasterDown,
       {},
       false},
      {"WRONGTYPE Operation against a key holding the wrong kind of value", Reply::kWrongType, {}, true},
      {"NOPERM this user has no permissions to access one of the keys used as arguments",
       Reply::kNoPerm,
       {},
       true},
      {"NOPERM No permissions to access a key", Reply::kNoPerm, {}, true},
      {"NOPERM this user has no permissions to run the 'xadd' command", Reply::kNoPerm, {}, false},
      {"OOM command not allowed when used memory > 'maxmemory'.", Reply::kOom, {}, false},
      {"ERR syntax error", Reply::kErr, {"syntax", "error"}, false},
      {"BUSYGROUP Consumer Group name already exists", Reply::kOther, {}, false},
      {"", Reply::kOther, {}, false},
  };
  for (const auto& c : cases) {
    const RedisError error = RedisError::fromReply(c.text);
    EXPECT_EQ(error.kind(), RedisError::Kind::kReply) << c.text;
    EXPECT_EQ(error.reply(), c.reply) << c.text;
    EXPECT_EQ(std::string(error.what()), c.text);
    if (!c.arguments.empty()) {
      EXPECT_EQ(error.arguments(), c.arguments) << c.text;
    }
    EXPECT_EQ(error.refusesOnlyItsKey(), c.onlyItsKey) << c.text;
  }
  const auto recorded = [](auto&& throwIt) {
    try {
      throwIt();
    } catch (...) {
      return ormanta::utils::eh::currentErrorCode();
    }
    return std::error_code();
  };
  const std::string text = "timeout exceeded while waiting for a Redis reply";
  EXPECT_EQ(recorded([&] { throw RedisError(RedisError::Kind::kTimeout, text); }),
            recorded([&] { throw std::runtime_error(text); }));
  const auto reset = std::make_error_code(std::errc::connection_reset);
  EXPECT_EQ(recorded([&] { throw RedisError(RedisError::Kind::kClosed, reset); }), reset);
}

}  // namespace
