// The Redis commands of RedisConnection against a private redis-server.

#include <gtest/gtest.h>

#include <future>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "redis/KeySlot.h"
#include "redis/StreamDecoding.h"
#include "support/Errors.h"
#include "support/RedisSuite.h"
#include "support/TempDirectory.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using ormanta::plugins::TulService::decodeStreamReply;
using ormanta::plugins::TulService::RedisRecord;
using ormanta::plugins::TulService::StreamEntry;
using tul::test::messageOf;
using tul::test::RedisClient;
using Fields = RedisClient::Fields;
using Hash = std::map<std::string, std::string>;

class RedisCommandsTest : public tul::test::RedisSuite {
 protected:
  // The server's own error text for args, as another client gets it.
  std::string serverError(const std::vector<std::string>& args) {
    const auto reply = client->command(args);
    EXPECT_EQ(reply->type, REDIS_REPLY_ERROR);
    return std::string(reply->str, reply->len);
  }
};

TEST_F(RedisCommandsTest, PingDelAndHdelCountWhatTheyRemove) {
  EXPECT_EQ(connection->ping(), "PONG");
  client->str({"SET", "a", "1"});
  client->command({"HSET", "h", "A", "1", "B", "2", "C", "3"});
  EXPECT_EQ(connection->del({"a", "missing"}), 1);
  EXPECT_EQ(connection->del({"a", "missing"}), 0);
  EXPECT_THROW(connection->del({}), std::runtime_error) << "an error reply is no success";
  EXPECT_EQ(connection->hdel("h", {"A", "C", "missing"}), 2);
  EXPECT_EQ(client->hgetall("h"), (Hash{{"B", "2"}}));
  EXPECT_EQ(connection->hdel("nohash", {"A"}), 0);
  EXPECT_EQ(connection->ping(), "PONG") << "the connection stays in step";
}

TEST_F(RedisCommandsTest, HsetAndXaddWriteEveryRecordWithAnyBytes) {
  const std::string binary = "{\"x\":\0\r\n}"s;
  connection->hset({{"T", {{"t_1", "[1]"}, {"t_2", binary}}}, {"P", {{"S.A", "{}"}}}, {"T", {{"t_3", ""}}}});
  connection->hset({});
  EXPECT_EQ(client->hgetall("T"), (Hash{{"t_1", "[1]"}, {"t_2", binary}, {"t_3", ""}}));
  EXPECT_EQ(client->hgetall("P"), (Hash{{"S.A", "{}"}}));
  EXPECT_EQ(client->commandStats()["hset"], 3) << "an empty hset sends nothing";

  connection->xadd(
      {{"A", {{"value", "12.5"}}}, {"B", {{"id", "1-0"}, {"result", "error"}}}, {"A", {{"value", "13"}}}},
      100);
  const auto a = client->xrange("A");
  ASSERT_EQ(a.size(), 2u);
  EXPECT_EQ(a[0].fields, (Fields{{"value", "12.5"}}));
  EXPECT_EQ(a[1].fields, (Fields{{"value", "13"}}));
  const Fields b = client->xrange("B").at(0).fields;
  EXPECT_EQ(Hash(b.begin(), b.end()), (Hash{{"id", "1-0"}, {"result", "error"}}));
}

TEST_F(RedisCommandsTest, ErrorRepliesThrowTheServersText) {
  client->str({"SET", "plain", "text"});
  const std::string wrongType = serverError({"HSET", "plain", "f", "v"});
  const std::vector<RedisRecord> records = {{"ok", {{"f", "v"}}}, {"plain", {{"f", "v"}}}};
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->hset(records); }), wrongType);
  EXPECT_TRUE(client->exists("ok")) << "records before the failing one are written";
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->xadd({records[1]}, 100); }), wrongType);
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->xread("plain", "0", 10, 10); }), wrongType);
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->xread("C", "notAnId", 10, 10); }),
            serverError({"XREAD", "STREAMS", "C", "notAnId"}));
}

TEST_F(RedisCommandsTest, AnErrorReplyInsideABatchLosesNoOtherRecord) {
  client->str({"SET", "plain", "text"});
  std::vector<RedisRecord> records;
  for (int i = 0; i < 10'000; ++i) records.push_back({"good", {{"value", std::to_string(i)}}});
  records[100].key = "plain";
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->xadd(records, 1'000'000); }),
            serverError({"XADD", "plain", "*", "f", "v"}));
  // The owner drops a connection that threw, as the workers do; nothing it sent may be lost.
  connection.reset();
  EXPECT_EQ(client->xlen("good"), 9'999);
}

TEST_F(RedisCommandsTest, XreadDecodesTheEntriesAfterLastIdOrWaitsForThemAsLongAsAsked) {
  const std::string first = client->xadd("C", {{"cmd", "set"}, {"name", "a"}, {"name", "b"}});
  const std::string second = client->xadd("C", {{"cmd", "subscribe"}});
  const std::vector<StreamEntry> all = {{first, {{"cmd", {"set"}}, {"name", {"a", "b"}}}},
                                        {second, {{"cmd", {"subscribe"}}}}};
  EXPECT_EQ(connection->xread("C", "0", 100, 10), all);
  EXPECT_EQ(connection->xread("C", "0", 100, 1), std::vector<StreamEntry>{all[0]}) << "COUNT";
  EXPECT_EQ(connection->xread("C", first, 100, 10), std::vector<StreamEntry>{all[1]});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(connection->xread("C", "$", 50, 10), std::nullopt);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
  connection->sendCommand({"XREAD", "STREAMS", "C", "0"});
  EXPECT_TRUE(decodeStreamReply(*connection->waitForReply(1000ms), "other").empty())
      << "another stream's name";
}

// ---- cluster key slots ----

// As a cluster node computes them (CLUSTER KEYSLOT): hash tag edge cases, the service's keys,
// and random keys of any bytes, braces among them.
TEST(KeySlotTest, EveryKeyLandsInTheSlotTheServerComputes) {
  tul::test::TempDirectory dir;
  tul::test::RedisServer node({"--cluster-enabled", "yes", "--cluster-config-file", dir.file("nodes.conf")});
  RedisClient client(node);
  std::vector<std::string> keys = {"",
                                   "{",
                                   "}",
                                   "{}",
                                   "{}a",
                                   "a{}",
                                   "{a",
                                   "a}",
                                   "{a}",
                                   "x{a}y",
                                   "{a}{b}",
                                   "{{a}}",
                                   "}{a}",
                                   "a{}{b}",
                                   "foo{bar}{zap}",
                                   "{user1000}.following",
                                   "Plant",
                                   "Plant.Commands",
                                   "Plant.DataTypes",
                                   "Plant.DataPoints",
                                   "PlantValue:Plant.Boiler.Temp"};
  std::mt19937 random(1);
  const std::string alphabet("{}ab\0\xff", 6);
  for (int i = 0; i < 3000; ++i) {
    std::string key(random() % 16, '\0');
    for (char& c : key) c = i % 2 ? alphabet[random() % alphabet.size()] : static_cast<char>(random());
    keys.push_back(std::move(key));
  }
  std::vector<std::vector<std::string>> requests;
  for (const std::string& key : keys) requests.push_back({"CLUSTER", "KEYSLOT", key});
  const auto replies = client.pipeline(requests);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    ASSERT_EQ(replies[i]->type, REDIS_REPLY_INTEGER) << replies[i]->str;
    EXPECT_EQ(ormanta::plugins::TulService::keySlot(keys[i]), replies[i]->integer)
        << "key #" << i << ": " << keys[i];
  }
}

}  // namespace
