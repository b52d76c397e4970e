// The six commands of RedisConnection against a private redis-server.

#include <gtest/gtest.h>

#include <future>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "redis/RedisConnection.h"
#include "redis/StreamDecoding.h"
#include "support/Errors.h"
#include "support/RedisClient.h"
#include "support/RedisSuite.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using ormanta::plugins::TulService::decodeStreamReply;
using ormanta::plugins::TulService::RedisConnection;
using ormanta::plugins::TulService::RedisRecord;
using ormanta::plugins::TulService::StreamEntry;
using ormanta::plugins::TulService::StreamFieldValues;
using ormanta::utils::io::StopSource;
using tul::test::RedisClient;
using tul::test::RedisServer;
using Clock = std::chrono::steady_clock;
using tul::test::messageOf;
using tul::test::systemErrorOf;

// The server's own error text for args, as another client gets it.
std::string serverError(RedisClient& client, const std::vector<std::string>& args) {
  const auto reply = client.command(args);
  EXPECT_EQ(reply->type, REDIS_REPLY_ERROR);
  return std::string(reply->str, reply->len);
}

class RedisCommandsTest : public tul::test::RedisSuite {
 protected:
  // The id of the one client whose last command was name, from CLIENT LIST.
  std::string clientIdRunning(std::string_view name) {
    std::stringstream lines(client->str({"CLIENT", "LIST"}));
    for (std::string line; std::getline(lines, line);) {
      if (line.find(" cmd=" + std::string(name) + " ") == std::string::npos) continue;
      const auto start = line.find("id=") + 3;
      return line.substr(start, line.find(' ', start) - start);
    }
    return {};
  }
};

// ---- ping, del, hdel ----

TEST_F(RedisCommandsTest, PingAnswersPong) { EXPECT_EQ(connection->ping(), "PONG"); }

TEST_F(RedisCommandsTest, DelCountsRemovedKeysAndMissingKeysCountZero) {
  client->str({"SET", "a", "1"});
  client->command({"HSET", "b", "f", "v"});
  EXPECT_EQ(connection->del({"a", "b", "missing"}), 2);
  EXPECT_FALSE(client->exists("a"));
  EXPECT_FALSE(client->exists("b"));
  EXPECT_EQ(connection->del({"a", "missing"}), 0);
}

TEST_F(RedisCommandsTest, DelWithoutKeysGetsAnErrorReplyAndReturnsZero) {
  EXPECT_EQ(connection->del({}), 0);
  EXPECT_EQ(connection->ping(), "PONG") << "the connection stays in step";
}

TEST_F(RedisCommandsTest, HdelRemovesTheNamedFieldsOnly) {
  client->command({"HSET", "Services", "A", "1", "B", "2", "C", "3"});
  EXPECT_EQ(connection->hdel("Services", {"A", "C", "missing"}), 2);
  EXPECT_EQ(client->hgetall("Services"), (std::map<std::string, std::string>{{"B", "2"}}));
  EXPECT_EQ(connection->hdel("Services", {"A"}), 0);
  EXPECT_EQ(connection->hdel("nohash", {"A"}), 0);
}

// ---- hset ----

TEST_F(RedisCommandsTest, HsetWritesEveryRecordWithAnyBytes) {
  const std::string binary = "{\"x\":\0\r\n}"s;
  connection->hset({{"S.DataTypes", {{"t_1", "[1]"}, {"t_2", binary}}},
                    {"S.DataPoints", {{"S.Boiler", "{}"}}},
                    {"S.DataTypes", {{"t_3", ""}}}});
  EXPECT_EQ(client->hgetall("S.DataTypes"),
            (std::map<std::string, std::string>{{"t_1", "[1]"}, {"t_2", binary}, {"t_3", ""}}));
  EXPECT_EQ(client->hgetall("S.DataPoints"), (std::map<std::string, std::string>{{"S.Boiler", "{}"}}));
  EXPECT_EQ(client->commandStats()["hset"], 3);
}

TEST_F(RedisCommandsTest, HsetErrorReplyThrowsTheServersText) {
  client->str({"SET", "plain", "text"});
  const std::string expected = serverError(*client, {"HSET", "plain", "f", "v"});
  EXPECT_EQ(messageOf<std::runtime_error>([&] {
              connection->hset({{"ok", {{"f", "v"}}}, {"plain", {{"f", "v"}}}});
            }),
            expected);
  EXPECT_EQ(client->hgetall("ok").size(), 1u) << "records before the failing one are written";
}

TEST_F(RedisCommandsTest, EmptyHsetSendsNothing) {
  connection->hset({});
  EXPECT_EQ(client->commandStats().count("hset"), 0u);
}

// ---- xadd ----

TEST_F(RedisCommandsTest, XaddAppendsOneEntryPerRecord) {
  connection->xadd({{"SValue:S.Boiler.Temp", {{"value", "12.5"}}},
                    {"SValue:S.Pump.On", {{"value", "true"}}},
                    {"SValue:S.Boiler.Temp", {{"value", "13"}}}},
                   100);
  const auto temps = client->xrange("SValue:S.Boiler.Temp");
  ASSERT_EQ(temps.size(), 2u);
  EXPECT_EQ(temps[0].fields, (RedisClient::Fields{{"value", "12.5"}}));
  EXPECT_EQ(temps[1].fields, (RedisClient::Fields{{"value", "13"}}));
  EXPECT_LT(temps[0].id, temps[1].id);
  EXPECT_EQ(client->xrange("SValue:S.Pump.On").size(), 1u);
  EXPECT_EQ(client->commandStats()["xadd"], 3);
}

TEST_F(RedisCommandsTest, XaddWithSeveralFieldsKeepsThemAll) {
  connection->xadd({{"S.Commands", {{"responseId", "1-0"}, {"result", "error"}, {"errorMessage", "bad"}}}},
                   100);
  const auto entries = client->xrange("S.Commands");
  ASSERT_EQ(entries.size(), 1u);
  const std::map<std::string, std::string> fields(entries[0].fields.begin(), entries[0].fields.end());
  EXPECT_EQ(fields, (std::map<std::string, std::string>{
                        {"responseId", "1-0"}, {"result", "error"}, {"errorMessage", "bad"}}));
}

TEST_F(RedisCommandsTest, XaddTrimsTheStreamToAboutMaxLength) {
  std::vector<RedisRecord> records(1000, RedisRecord{"SValue:S.A.x", {{"value", "1"}}});
  connection->xadd(records, 100);
  const long long length = client->xlen("SValue:S.A.x");
  EXPECT_GE(length, 100);
  EXPECT_LT(length, 300) << "approximate trimming removes whole nodes only";
}

TEST_F(RedisCommandsTest, XaddOfTenThousandRecordsInOneCall) {
  std::vector<RedisRecord> records;
  for (int i = 0; i < 10'000; ++i) {
    records.push_back({"SValue:S.E" + std::to_string(i % 50) + ".value", {{"value", std::to_string(i)}}});
  }
  connection->xadd(records, 100);
  EXPECT_EQ(client->commandStats()["xadd"], 10'000);
  const auto last = client->xrange("SValue:S.E49.value");
  ASSERT_FALSE(last.empty());
  EXPECT_EQ(last.back().fields, (RedisClient::Fields{{"value", "9999"}}));
  EXPECT_EQ(connection->ping(), "PONG") << "every reply was consumed";
}

TEST_F(RedisCommandsTest, XaddErrorReplyThrowsTheServersText) {
  client->str({"SET", "plain", "text"});
  const std::string expected = serverError(*client, {"XADD", "plain", "*", "value", "1"});
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->xadd({{"plain", {{"value", "1"}}}}, 100); }), expected);
}

// ---- xread ----

TEST_F(RedisCommandsTest, XreadReturnsTheEntriesAfterLastId) {
  const std::string first = client->xadd("S.Commands", {{"cmd", "set"}, {"name", "S.A.x"}});
  const std::string second = client->xadd("S.Commands", {{"cmd", "subscribe"}});
  const auto all = connection->xread("S.Commands", "0", 100);
  ASSERT_TRUE(all);
  const std::vector<StreamEntry> expected = {{first, {{"cmd", {"set"}}, {"name", {"S.A.x"}}}},
                                             {second, {{"cmd", {"subscribe"}}}}};
  EXPECT_EQ(*all, expected);
  const auto rest = connection->xread("S.Commands", first, 100);
  ASSERT_TRUE(rest);
  EXPECT_EQ(*rest, std::vector<StreamEntry>(expected.begin() + 1, expected.end()));
}

TEST_F(RedisCommandsTest, XreadDecodesRepeatedFieldsInEntryOrder) {
  client->xadd("S.Commands", {{"name", "a"}, {"name", "b"}});
  const auto entries = connection->xread("S.Commands", "0", 100);
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ((*entries)[0].fields, (StreamFieldValues{{"name", {"a", "b"}}}));
}

TEST_F(RedisCommandsTest, XreadGivesNothingWhenTheBlockTimeRunsOut) {
  const auto start = Clock::now();
  EXPECT_FALSE(connection->xread("S.Commands", "$", 50));
  EXPECT_GE(Clock::now() - start, 40ms);
  EXPECT_EQ(connection->ping(), "PONG");
}

TEST_F(RedisCommandsTest, XreadErrorReplyThrowsTheServersText) {
  client->str({"SET", "plain", "text"});
  const std::string wrongType = serverError(*client, {"XREAD", "BLOCK", "10", "STREAMS", "plain", "0"});
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->xread("plain", "0", 10); }), wrongType);
  const std::string badId = serverError(*client, {"XREAD", "BLOCK", "10", "STREAMS", "s", "notAnId"});
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->xread("s", "notAnId", 10); }), badId);
}

TEST_F(RedisCommandsTest, XreadWithoutBlockTimeWaitsForTheNextEntry) {
  auto producer = std::async(std::launch::async, [&] {
    RedisClient peer(*server);
    std::this_thread::sleep_for(150ms);
    return peer.xadd("S.Commands", {{"cmd", "set"}});
  });
  const auto entries = connection->xread("S.Commands", "$");
  const std::string id = producer.get();
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ((*entries)[0].id, id);
}

TEST_F(RedisCommandsTest, ReplyNamingAnotherStreamDecodesToAnEmptyList) {
  client->xadd("real", {{"f", "v"}});
  connection->sendCommand({"XREAD", "STREAMS", "real", "0"});
  const auto reply = connection->waitForReply(1000ms);
  EXPECT_TRUE(decodeStreamReply(*reply, "other").empty());
  EXPECT_EQ(decodeStreamReply(*reply, "real").size(), 1u);
}

TEST_F(RedisCommandsTest, UnboundedXreadEndsWhenTheServerClosesTheConnection) {
  // The fixture's client is idle while this thread uses it.
  auto killer = std::async(std::launch::async, [&] {
    std::string id;
    for (int i = 0; i < 200 && id.empty(); ++i) {
      std::this_thread::sleep_for(10ms);
      id = clientIdRunning("xread");
    }
    return id.empty() ? 0 : client->integer({"CLIENT", "KILL", "ID", id});
  });
  const auto start = Clock::now();
  const auto error = systemErrorOf([&] { connection->xread("S.Commands", "$"); });
  EXPECT_EQ(killer.get(), 1);
  EXPECT_EQ(error, std::errc::connection_reset);
  EXPECT_LT(Clock::now() - start, 5s);
}

TEST_F(RedisCommandsTest, UnboundedXreadEndsWhenItsStopSourceIsRequested) {
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop.requestStop();
  });
  const auto start = Clock::now();
  const auto error = systemErrorOf([&] { connection->xread("S.Commands", "$"); });
  stopper.join();
  EXPECT_EQ(error, std::errc::operation_canceled);
  EXPECT_LT(Clock::now() - start, 1s);
}

// ---- a stalled server ----

TEST_F(RedisCommandsTest, StalledServerMakesABoundedCommandTimeOut) {
  // Connected beforehand, so that the stall begins as soon as the command is sent.
  RedisClient admin(*server);
  auto sleeper = std::async(std::launch::async, [&] { return admin.str({"DEBUG", "SLEEP", "1.5"}); });
  // DEBUG SLEEP blocks the whole server; give it a moment to begin.
  std::this_thread::sleep_for(100ms);
  const auto start = Clock::now();
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->ping(); }), "timeout exceeded while waiting for a Redis reply");
  EXPECT_GE(Clock::now() - start, 950ms);
  EXPECT_EQ(sleeper.get(), "OK");
}

}  // namespace
