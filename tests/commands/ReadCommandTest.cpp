// Reading and answering the command stream, against a scripted server that sees every request.

#include <gtest/gtest.h>

#include <span>

#include "commands/CommandProtocol.h"
#include "commands/CommandWorker.h"
#include "support/Errors.h"
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
    stream = std::make_unique<CommandStream>(*connection, "S");
  }

  ormanta::utils::io::StopSource stopSource;
  std::stop_source stop;
  std::unique_ptr<RedisConnection> connection;
  std::unique_ptr<CommandStream> stream;
};

// "*1\r\n*2\r\n$6\r\nS.Commands\r\n*<n>\r\n<entries>": an XREAD reply with the given entries.
std::string xreadReply(const std::vector<std::pair<std::string, std::vector<std::string>>>& entries) {
  std::string reply = "*1\r\n*2\r\n$10\r\nS.Commands\r\n*" + std::to_string(entries.size()) + "\r\n";
  for (const auto& [id, fields] : entries) {
    reply += "*2\r\n$" + std::to_string(id.size()) + "\r\n" + id + "\r\n*" + std::to_string(fields.size()) +
             "\r\n";
    for (const auto& field : fields) reply += "$" + std::to_string(field.size()) + "\r\n" + field + "\r\n";
  }
  return reply;
}

TEST_F(ReadCommandTest, EveryCommandOfAReplyIsQueuedAndEntriesWithoutCmdOnlyMoveTheIdOn) {
  FakeServer server([](FakeConnection& c) {
    c.readCommand(2s);
    c.send(xreadReply({{"1-1", {"responseId", "0-9", "result", "success"}}}));
    c.readCommand(2s);
    c.send(xreadReply({{"1-2", {"cmd", "set", "name", "a", "name", "b"}},
                       {"1-3", {"cmd", "subscribe"}},
                       {"1-4", {"note", "no command"}}}));
    c.waitForPeerClose(2s);
  });
  connect(server);
  stream->lastId = "1-0";
  std::optional<Command> first = readCommand(*stream, stop.get_token(), 5000);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->type, CommandType::kSet);
  EXPECT_EQ(first->id, "1-2");
  EXPECT_EQ(first->fields.at("name"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(stream->lastId, "1-4");
  std::optional<Command> second = readCommand(*stream, stop.get_token(), 5000);  // from the queue
  ASSERT_TRUE(second);
  EXPECT_EQ(second->id, "1-3");
  const auto commands = server.commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0], (std::vector<std::string>{"XREAD", "COUNT", "1000", "BLOCK", "5000", "STREAMS",
                                                   "S.Commands", "1-0"}));
  EXPECT_EQ(commands[1][7], "1-1");
  EXPECT_LE(std::stoll(commands[1][4]), 5000);
}

// The responses go out in one transaction that first reads what came after lastId; at most
// kResponseBatch wait. A server that refuses MINID (before 6.2) gets the transaction again at
// once with MAXLEN and no COUNT, so that its trim can only remove entries already read.
TEST_F(ReadCommandTest, ResponsesAreWrittenInOneTransactionAfterAReadOfTheStream) {
  constexpr std::size_t kBatch = CommandStream::kResponseBatch;
  FakeServer server([&](FakeConnection& c) {
    std::string queued = "+OK\r\n";
    for (std::size_t i = 0; i <= kBatch; ++i) queued += "+QUEUED\r\n";
    for (std::size_t i = 0; i < kBatch + 3; ++i) c.readCommand(2s);  // MULTI, XREAD, XADDs, EXEC
    std::string refused = queued + "*" + std::to_string(kBatch + 1) + "\r\n*-1\r\n";
    for (std::size_t i = 0; i < kBatch; ++i) refused += "-ERR syntax error\r\n";
    c.send(refused);
    for (std::size_t i = 0; i < kBatch + 3; ++i) c.readCommand(2s);
    std::string replies = queued + "*" + std::to_string(kBatch + 1) + "\r\n" +
                          xreadReply({{"2-1", {"cmd", "set"}}, {"2-2", {"x", "y"}}});
    for (std::size_t i = 0; i < kBatch; ++i) replies += "$3\r\n3-" + std::to_string(i % 10) + "\r\n";
    c.send(replies);
    c.waitForPeerClose(2s);
  });
  connect(server);
  stream->lastId = "1-9";
  for (std::size_t i = 1; i < kBatch; ++i) sendSuccessResponse(*stream, "1-" + std::to_string(i));
  EXPECT_TRUE(server.commands().empty());  // waiting for more
  sendErrorResponse(*stream, "1-0", "bad");
  const auto commands = server.commands();
  ASSERT_EQ(commands.size(), 2 * (kBatch + 3));
  EXPECT_EQ(commands[0], std::vector<std::string>{"MULTI"});
  EXPECT_EQ(commands[1],
            (std::vector<std::string>{"XREAD", "COUNT", "1000", "STREAMS", "S.Commands", "1-9"}));
  EXPECT_EQ(commands[2][2], "MINID");
  const auto& retry = std::span(commands).subspan(kBatch + 3);
  EXPECT_EQ(retry[1], (std::vector<std::string>{"XREAD", "STREAMS", "S.Commands", "1-9"}));
  const std::vector<std::string> head = {"XADD", "S.Commands", "MAXLEN", "~", "100", "*"};
  EXPECT_TRUE(std::equal(head.begin(), head.end(), retry[2].begin()));
  EXPECT_EQ(retry.back(), std::vector<std::string>{"EXEC"});
  EXPECT_EQ(retry[kBatch + 1].size(), head.size() + 6);  // the error: responseId, result, errorMessage
  EXPECT_TRUE(stream->responses.empty());
  ASSERT_EQ(stream->commands.size(), 1u);  // read by the transaction
  EXPECT_EQ(stream->commands.front().id, "2-1");
  EXPECT_EQ(stream->lastId, "3-" + std::to_string((kBatch - 1) % 10));  // nothing lies between
}

// MINID spares every entry younger than the retention time and the newest 100 seen.
TEST(ResponseTrimTest, SparesEntriesYoungerThanTheRetentionAndTheNewestHundredSeen) {
  CommandStream stream("S", {10'000, 10'000});
  const auto thresholdMs = [&] { return StreamId::parse(stream.responseTrim().threshold)->ms; };
  const auto nowMs = [] {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
  };
  EXPECT_EQ(stream.responseTrim().threshold, "0-0") << "fewer than 100 seen: all stay";
  const std::uint64_t old = nowMs() - 60'000;
  for (std::uint64_t i = 0; i < 150; ++i) stream.noteSeen(std::to_string(old + i) + "-7");
  EXPECT_EQ(stream.responseTrim().threshold, std::to_string(old + 50) + "-7") << "the 100th newest stays";
  const std::uint64_t recent = nowMs() - 2'000;
  for (std::uint64_t i = 0; i < 150; ++i) stream.noteSeen(std::to_string(recent + i) + "-0");
  const std::uint64_t before = nowMs();
  EXPECT_GE(thresholdMs(), before - 10'000);
  EXPECT_LE(thresholdMs(), nowMs() - 10'000);
}

TEST_F(ReadCommandTest, TransactionErrorsAndRepliesOutOfStepThrow) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      // a queueing error aborts the transaction: its own text is the one reported
      {"+OK\r\n+QUEUED\r\n-ERR bad XADD\r\n-EXECABORT Transaction discarded\r\n", "ERR bad XADD"},
      // an error among the results
      {"+OK\r\n+QUEUED\r\n+QUEUED\r\n*2\r\n*-1\r\n-WRONGTYPE Operation\r\n", "WRONGTYPE Operation"},
      // a late reply of an earlier request in front of MULTI's
      {"$3\r\n1-1\r\n+OK\r\n+QUEUED\r\n+QUEUED\r\n", "unexpected Redis reply to a transaction"},
      {"+OK\r\n+QUEUED\r\n+QUEUED\r\n*1\r\n*-1\r\n", "unexpected Redis reply to a transaction"}};
  for (const auto& [replies, message] : cases) {
    FakeServer server([&](FakeConnection& c) {
      for (int i = 0; i < 4; ++i) c.readCommand(2s);
      c.send(replies);
      c.waitForPeerClose(2s);
    });
    connect(server);
    stream->lastId = "1-1";
    sendSuccessResponse(*stream, "1-1");
    EXPECT_EQ(tul::test::messageOf<std::runtime_error>([&] { writeResponses(*stream); }), message);
  }
}

TEST_F(ReadCommandTest, NilReplyOrNoTimeLeftEndsTheReadWithoutWaitingWithoutLimit) {
  FakeServer server([](FakeConnection& c) {
    c.readCommand(2s);
    c.send("*-1\r\n");
    c.waitForPeerClose(2s);
  });
  connect(server);
  stream->lastId = "0-0";
  EXPECT_FALSE(readCommand(*stream, stop.get_token(), 100));
  EXPECT_FALSE(readCommand(*stream, stop.get_token(), 0));  // never "BLOCK 0"
  stop.request_stop();
  EXPECT_FALSE(readCommand(*stream, stop.get_token(), 100));
  EXPECT_EQ(server.commands().size(), 1u);
}

TEST(CommandTypeTest, CommandTypesAreMatchedExactly) {
  const std::pair<const char*, CommandType> cases[] = {
      {"set", CommandType::kSet},         {"subscribe", CommandType::kSubscribe},
      {"command", CommandType::kCommand}, {"Set", CommandType::kUnknown},
      {"set ", CommandType::kUnknown},    {"", CommandType::kUnknown}};
  for (const auto& [text, type] : cases) EXPECT_EQ(classifyCommand(text), type) << text;
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
  EXPECT_EQ(server.commands()[0],
            (std::vector<std::string>{"XREVRANGE", "S.Commands", "+", "-", "COUNT", "1"}));
}

TEST(ReconnectBackoffTest, FirstRetryAtOnceThenDoublingUpToFiveSeconds) {
  ReconnectBackoff backoff;
  std::vector<std::chrono::milliseconds> delays = {backoff.delay()};
  for (int i = 0; i < 9; ++i) {
    backoff.failed();
    delays.push_back(backoff.delay());
  }
  EXPECT_EQ(delays, (std::vector<std::chrono::milliseconds>{0ms, 0ms, 100ms, 200ms, 400ms, 800ms, 1600ms,
                                                            3200ms, 5000ms, 5000ms}));
  backoff.succeeded();
  EXPECT_EQ(backoff.delay(), 0ms);
}

}  // namespace
