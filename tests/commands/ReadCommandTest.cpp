// Reading the command stream, against a scripted server that sees every request.

#include <gtest/gtest.h>

#include "commands/CommandProtocol.h"
#include "commands/CommandWorker.h"
#include "support/FakeServer.h"

namespace {

using namespace std::chrono_literals;
using namespace ormanta::plugins::TulService;
using tul::test::FakeConnection;
using tul::test::FakeServer;

class ReadCommandTest : public ::testing::Test {
 protected:
  void connect(FakeServer& server) {
    connection = std::make_unique<RedisConnection>(server.address());
    connection->connect(stopSource, 3);
    channel = std::make_unique<CommandChannel>(*connection, "S");
  }

  ormanta::utils::io::StopSource stopSource;
  std::stop_source stop;
  std::unique_ptr<RedisConnection> connection;
  std::unique_ptr<CommandChannel> channel;
};

// "*1\r\n*2\r\n$6\r\nS.Commands\r\n*<n>\r\n<entries>": an XREAD reply with the given entries.
std::string xreadReply(const std::vector<std::pair<std::string, std::vector<std::string>>>& entries) {
  std::string reply = "*1\r\n*2\r\n$10\r\nS.Commands\r\n*" + std::to_string(entries.size()) + "\r\n";
  for (const auto& [id, fields] : entries) {
    reply += "*2\r\n$" + std::to_string(id.size()) + "\r\n" + id + "\r\n*" + std::to_string(fields.size()) + "\r\n";
    for (const auto& field : fields) reply += "$" + std::to_string(field.size()) + "\r\n" + field + "\r\n";
  }
  return reply;
}

TEST_F(ReadCommandTest, EntriesWithoutCmdMoveTheIdOnAndTheReadGoesOn) {
  FakeServer server([](FakeConnection& c) {
    c.readCommand(2s);
    c.send(xreadReply({{"1-1", {"responseId", "0-9", "result", "success"}}}));
    c.readCommand(2s);
    c.send(xreadReply({{"1-2", {"cmd", "set", "name", "a", "name", "b"}}, {"1-3", {"cmd", "subscribe"}}}));
    c.waitForPeerClose(2s);
  });
  connect(server);
  channel->lastId = "1-0";
  std::optional<Command> command = readCommand(*channel, stop.get_token(), 5000);
  ASSERT_TRUE(command);
  EXPECT_EQ(command->type, CommandType::kSet);
  EXPECT_EQ(command->id, "1-2");
  EXPECT_EQ(command->fields.at("name"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(channel->lastId, "1-2");  // the entry behind it is read again next time
  const auto commands = server.commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0], (std::vector<std::string>{"XREAD", "BLOCK", "5000", "STREAMS", "S.Commands", "1-0"}));
  EXPECT_EQ(commands[1][5], "1-1");
  EXPECT_LE(std::stoll(commands[1][2]), 5000);
}

TEST_F(ReadCommandTest, NilReplyOrNoTimeLeftEndsTheReadWithoutWaitingWithoutLimit) {
  FakeServer server([](FakeConnection& c) {
    c.readCommand(2s);
    c.send("*-1\r\n");
    c.waitForPeerClose(2s);
  });
  connect(server);
  channel->lastId = "0-0";
  EXPECT_FALSE(readCommand(*channel, stop.get_token(), 100));
  EXPECT_FALSE(readCommand(*channel, stop.get_token(), 0));  // never "BLOCK 0"
  stop.request_stop();
  EXPECT_FALSE(readCommand(*channel, stop.get_token(), 100));
  EXPECT_EQ(server.commands().size(), 1u);
}

TEST_F(ReadCommandTest, CommandTypesAreMatchedExactly) {
  EXPECT_EQ(classifyCommand("set"), CommandType::kSet);
  EXPECT_EQ(classifyCommand("subscribe"), CommandType::kSubscribe);
  EXPECT_EQ(classifyCommand("command"), CommandType::kCommand);
  EXPECT_EQ(classifyCommand("Set"), CommandType::kUnknown);
  EXPECT_EQ(classifyCommand("set "), CommandType::kUnknown);
  EXPECT_EQ(classifyCommand(""), CommandType::kUnknown);
}

TEST_F(ReadCommandTest, LastEntryIdOfAnEmptyStreamIsZero) {
  FakeServer server([](FakeConnection& c) {
    c.readCommand(2s);
    c.send("*0\r\n");
    c.readCommand(2s);
    c.send("*1\r\n*2\r\n$5\r\n7-123\r\n*2\r\n$1\r\na\r\n$1\r\nb\r\n");
    c.readCommand(2s);
    c.send("-WRONGTYPE Operation against a key holding the wrong kind of value\r\n");
    c.waitForPeerClose(2s);
  });
  connect(server);
  EXPECT_EQ(lastStreamEntryId(*connection, "S.Commands"), "0-0");
  EXPECT_EQ(lastStreamEntryId(*connection, "S.Commands"), "7-123");
  EXPECT_THROW(lastStreamEntryId(*connection, "S.Commands"), std::runtime_error);
  EXPECT_EQ(server.commands()[0], (std::vector<std::string>{"XREVRANGE", "S.Commands", "+", "-", "COUNT", "1"}));
}

TEST(ReconnectBackoffTest, FirstRetryAtOnceThenDoublingUpToFiveSeconds) {
  ReconnectBackoff backoff;
  EXPECT_EQ(backoff.delay(), 0ms);
  std::vector<std::chrono::milliseconds> delays;
  for (int i = 0; i < 9; ++i) {
    backoff.failed();
    delays.push_back(backoff.delay());
  }
  EXPECT_EQ(delays, (std::vector<std::chrono::milliseconds>{0ms, 100ms, 200ms, 400ms, 800ms, 1600ms, 3200ms, 5000ms,
                                                            5000ms}));
  backoff.succeeded();
  EXPECT_EQ(backoff.delay(), 0ms);
}

}  // namespace
