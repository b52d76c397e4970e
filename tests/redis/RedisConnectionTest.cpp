// RedisConnection's framing, pipelining and failure paths against a scripted fake server.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include "redis/RedisConnection.h"
#include "support/Errors.h"
#include "support/FakeServer.h"
#include "support/LoopbackPeer.h"
#include "support/Ports.h"
#include "support/Wait.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using ormanta::plugins::TulService::kReplyError;
using ormanta::plugins::TulService::kReplyStatus;
using ormanta::plugins::TulService::kReplyString;
using ormanta::plugins::TulService::RedisConnection;
using ormanta::plugins::TulService::RedisRecord;
using ormanta::plugins::TulService::RedisReplyPtr;
using ormanta::utils::io::StopSource;
using tul::test::FakeConnection;
using tul::test::FakeServer;
using tul::test::messageOf;
using tul::test::systemErrorOf;
using Clock = std::chrono::steady_clock;
using Commands = std::vector<std::vector<std::string>>;

constexpr auto kReplyTimeout = 1000ms;
const std::string kTimeoutMessage = "timeout exceeded while waiting for a Redis reply";
const std::string kCorruptMessage = "corrupted Redis reply received";
const std::string kConnectMessage = "failed to connect to the Redis database";

std::string textOf(const RedisReplyPtr& reply) { return std::string(reply->str, reply->len); }

std::chrono::milliseconds since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}



// Reads one command and answers it with the given bytes.
FakeServer::Script answer(std::string reply) {
  return [reply](FakeConnection& connection) {
    if (!connection.readCommand(5s).empty()) connection.send(reply);
    connection.idle(10s);
  };
}

class RedisConnectionTest : public ::testing::Test {
 protected:
  std::unique_ptr<RedisConnection> connectTo(const FakeServer& server) {
    auto connection = std::make_unique<RedisConnection>(server.address());
    connection->connect(stop, 3);
    return connection;
  }

  // A stop source outlives every connection bound to it.
  StopSource stop;
};

// ---- construction and connect ----

TEST_F(RedisConnectionTest, StartsUnconnectedWithItsAddressAndOneSecondReplyTimeout) {
  RedisConnection connection("127.0.0.1:1");
  EXPECT_FALSE(connection);
  EXPECT_EQ(connection.address(), "127.0.0.1:1");
  EXPECT_EQ(connection.replyTimeoutSeconds(), 1u);
}

TEST_F(RedisConnectionTest, ConnectsToTheAddressGiven) {
  FakeServer server(answer("+PONG\r\n"));
  auto connection = connectTo(server);
  EXPECT_TRUE(*connection);
  EXPECT_EQ(connection->ping(), "PONG");
  EXPECT_EQ(server.connectionCount(), 1u);
}

TEST_F(RedisConnectionTest, RefusedOrUnresolvableAddressFailsToConnectWithinThreeSeconds) {
  for (const std::string& address : {"127.0.0.1:" + std::to_string(tul::test::freeLoopbackPort()),
                                     "no-such-host.invalid:6380"s, "127.0.0.1:notaport"s}) {
    RedisConnection connection(address);
    const auto start = Clock::now();
    EXPECT_EQ(messageOf<std::runtime_error>([&] { connection.connect(stop, 3); }), kConnectMessage) << address;
    EXPECT_LT(since(start), 3500ms) << address;
    EXPECT_FALSE(connection);
  }
}

TEST_F(RedisConnectionTest, UnreachableServerFailsAfterTheConnectTimeout) {
  tul::test::LoopbackListener listener(AF_INET, 0);
  listener.fillBacklog();  // handshakes now hang, like a server behind a black hole
  RedisConnection connection("127.0.0.1:" + std::to_string(listener.port()));
  const auto start = Clock::now();
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection.connect(stop, 1); }), kConnectMessage);
  EXPECT_GE(since(start), 900ms);
  EXPECT_LT(since(start), 3s);
}

TEST_F(RedisConnectionTest, StopDuringConnectEndsItPromptly) {
  tul::test::LoopbackListener listener(AF_INET, 0);
  listener.fillBacklog();
  RedisConnection connection("127.0.0.1:" + std::to_string(listener.port()));
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop.requestStop();
  });
  const auto start = Clock::now();
  const std::string error = messageOf<std::runtime_error>([&] { connection.connect(stop, 3); });
  stopper.join();
  EXPECT_EQ(error, kConnectMessage);
  EXPECT_LT(since(start), 600ms);
}

TEST_F(RedisConnectionTest, StopRequestedBeforeConnectFailsAtOnce) {
  FakeServer server(answer("+PONG\r\n"));
  stop.requestStop();
  RedisConnection connection(server.address());
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection.connect(stop, 3); }), kConnectMessage);
  EXPECT_FALSE(tul::test::waitUntil([&] { return server.connectionCount() > 0; }, 50ms));
}

// ---- requests ----

TEST_F(RedisConnectionTest, SendCommandWritesOneRespRequestWithBinaryArguments) {
  std::string raw;
  FakeServer server([&](FakeConnection& connection) {
    raw = connection.readRaw(5s);
    connection.send("+OK\r\n");
  });
  auto connection = connectTo(server);
  const std::string binary = "v\0\r\n"s;
  connection->sendCommand({"SET", "k", binary});
  EXPECT_EQ(textOf(connection->waitForReply(kReplyTimeout)), "OK");
  EXPECT_EQ(raw, "*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$4\r\nv\0\r\n\r\n"s);
}

// ---- reply framing ----

TEST_F(RedisConnectionTest, TwoRepliesInOneReadAreReturnedOneByOne) {
  FakeServer server(answer("+first\r\n$6\r\nsecond\r\n"));
  auto connection = connectTo(server);
  connection->sendCommand({"PING"});
  const RedisReplyPtr first = connection->waitForReply(kReplyTimeout);
  EXPECT_EQ(first->type, kReplyStatus);
  EXPECT_EQ(textOf(first), "first");

  // The second reply is already in the reader: no waiting for data.
  const auto start = Clock::now();
  const RedisReplyPtr second = connection->waitForReply(kReplyTimeout);
  EXPECT_LT(since(start), 100ms);
  EXPECT_EQ(second->type, kReplyString);
  EXPECT_EQ(textOf(second), "second");
  EXPECT_FALSE(connection->tryGetReply());
}

TEST_F(RedisConnectionTest, ReplySplitOverSeveralReadsIsAssembled) {
  FakeServer server([](FakeConnection& connection) {
    if (connection.readCommand(5s).empty()) return;
    for (const std::string_view part : {"*2\r\n$5\r\nhel", "lo\r\n", "$5", "\r\nworld\r", "\n"}) {
      connection.send(part);
      connection.idle(30ms);
    }
    connection.idle(10s);
  });
  auto connection = connectTo(server);
  connection->sendCommand({"PING"});
  const RedisReplyPtr reply = connection->waitForReply(kReplyTimeout);
  ASSERT_EQ(reply->elements, 2u);
  EXPECT_EQ(std::string(reply->element[0]->str, reply->element[0]->len), "hello");
  EXPECT_EQ(std::string(reply->element[1]->str, reply->element[1]->len), "world");
}

TEST_F(RedisConnectionTest, NoReplyWithinTheTimeoutThrows) {
  FakeServer server([](FakeConnection& connection) {
    connection.readCommand(5s);
    connection.idle(10s);
  });
  auto connection = connectTo(server);
  connection->sendCommand({"PING"});
  const auto start = Clock::now();
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->waitForReply(kReplyTimeout); }), kTimeoutMessage);
  EXPECT_GE(since(start), 950ms);
  EXPECT_LT(since(start), 2s);
}

TEST_F(RedisConnectionTest, PartOfAReplyBeforeTheDeadlineStillTimesOut) {
  FakeServer server([](FakeConnection& connection) {
    connection.readCommand(5s);
    connection.send("$10\r\nonly");
    connection.idle(10s);
  });
  auto connection = connectTo(server);
  connection->sendCommand({"PING"});
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->waitForReply(300ms); }), kTimeoutMessage);
}

TEST_F(RedisConnectionTest, ZeroTimeoutThrowsBeforeReadingAnything) {
  FakeServer server(answer("+OK\r\n"));
  auto connection = connectTo(server);
  connection->sendCommand({"PING"});
  ASSERT_TRUE(connection->waitForData(2s));
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->waitForReply(0ms); }), kTimeoutMessage);
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->waitForReply(-5ms); }), kTimeoutMessage);
  EXPECT_EQ(textOf(connection->waitForReply(kReplyTimeout)), "OK") << "the reply's bytes must still be there";
}

TEST_F(RedisConnectionTest, ErrorReplyIsAReplyNotAFailure) {
  FakeServer server(answer("-ERR nope\r\n"));
  auto connection = connectTo(server);
  connection->sendCommand({"PING"});
  const RedisReplyPtr reply = connection->waitForReply(kReplyTimeout);
  EXPECT_EQ(reply->type, kReplyError);
  EXPECT_EQ(textOf(reply), "ERR nope");
}

TEST_F(RedisConnectionTest, BytesThatAreNotRespAreACorruptedReply) {
  FakeServer server(answer("HTTP/1.1 400 Bad Request\r\n\r\n"));
  auto connection = connectTo(server);
  connection->sendCommand({"PING"});
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->waitForReply(kReplyTimeout); }), kCorruptMessage);
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->tryGetReply(); }), kCorruptMessage) << "the reader stays broken";
}

TEST_F(RedisConnectionTest, PushReplyBeforeTheAnswerWithThisHiredis) {
  FakeServer server(answer(">2\r\n$10\r\ninvalidate\r\n*1\r\n$3\r\nkey\r\n+PONG\r\n"));
  auto connection = connectTo(server);
  connection->sendCommand({"PING"});
#if HIREDIS_MAJOR < 1
  // hiredis 0.14 knows no RESP3 push type: the '>' is a protocol error.
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->waitForReply(kReplyTimeout); }), kCorruptMessage);
#else
  EXPECT_EQ(textOf(connection->waitForReply(kReplyTimeout)), "PONG") << "the push is dropped";
#endif
}

// ---- the server closing the connection ----

FakeServer::Script closeAfterCommand() {
  return [](FakeConnection& connection) {
    connection.readCommand(5s);
    connection.idle(100ms);
    connection.close();
  };
}

TEST_F(RedisConnectionTest, ServerCloseDuringABoundedWaitThrowsTheSocketError) {
  FakeServer server(closeAfterCommand());
  auto connection = connectTo(server);
  connection->sendCommand({"PING"});
  const auto start = Clock::now();
  EXPECT_EQ(systemErrorOf([&] { connection->waitForReply(kReplyTimeout); }), std::errc::connection_reset);
  EXPECT_LT(since(start), 900ms) << "the close must end the wait before the time-out";
}

TEST_F(RedisConnectionTest, ServerCloseDuringAnUnboundedWaitThrowsTheSocketError) {
  FakeServer server(closeAfterCommand());
  auto connection = connectTo(server);
  const auto start = Clock::now();
  EXPECT_EQ(systemErrorOf([&] { connection->xread("s", "$"); }), std::errc::connection_reset);
  EXPECT_LT(since(start), 2s);
}

TEST_F(RedisConnectionTest, StopDuringXreadEndsItPromptly) {
  FakeServer server([](FakeConnection& connection) {
    connection.readCommand(5s);
    connection.idle(20s);
  });
  auto connection = connectTo(server);
  Clock::time_point requestedAt;
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    requestedAt = Clock::now();
    stop.requestStop();
  });
  const auto error = systemErrorOf([&] { connection->xread("s", "$"); });
  const auto end = Clock::now();
  stopper.join();
  EXPECT_EQ(error, std::errc::operation_canceled);
  EXPECT_LT(end - requestedAt, 500ms);
}

TEST_F(RedisConnectionTest, StopDuringABoundedWaitEndsItPromptly) {
  FakeServer server([](FakeConnection& connection) {
    connection.readCommand(5s);
    connection.idle(20s);
  });
  auto connection = connectTo(server);
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop.requestStop();
  });
  const auto start = Clock::now();
  const auto error = systemErrorOf([&] { connection->ping(); });
  stopper.join();
  EXPECT_EQ(error, std::errc::operation_canceled);
  EXPECT_LT(since(start), 600ms);
}

// ---- command requests and pipelining ----

TEST_F(RedisConnectionTest, XreadWithoutBlockTimeSendsBlockZero) {
  FakeServer server([](FakeConnection& connection) {
    for (int i = 0; i < 2; ++i) {
      if (connection.readCommand(5s).empty()) return;
      connection.send("*-1\r\n");
    }
  });
  auto connection = connectTo(server);
  EXPECT_FALSE(connection->xread("svc.Commands", "$"));
  EXPECT_FALSE(connection->xread("svc.Commands", "1-2", 3401));
  EXPECT_EQ(server.commands(), (Commands{{"XREAD", "BLOCK", "0", "STREAMS", "svc.Commands", "$"},
                                         {"XREAD", "BLOCK", "3401", "STREAMS", "svc.Commands", "1-2"}}));
}

// Reads count requests before answering any: a client that waits for a reply between
// requests leaves the server waiting here, and the flag stays false.
FakeServer::Script readAllThenAnswer(std::size_t count, std::atomic<bool>& allArrivedFirst,
                                     std::string replies) {
  return [=, &allArrivedFirst](FakeConnection& connection) {
    for (std::size_t i = 0; i < count; ++i) {
      if (connection.readCommand(2s).empty()) {
        connection.send(replies);
        connection.idle(10s);
        return;
      }
    }
    allArrivedFirst = true;
    connection.send(replies);
    connection.idle(10s);
  };
}

TEST_F(RedisConnectionTest, XaddWritesEveryRequestBeforeReadingAReply) {
  std::atomic<bool> allArrivedFirst{false};
  FakeServer server(readAllThenAnswer(2, allArrivedFirst, "$3\r\n1-1\r\n$3\r\n1-2\r\n"));
  auto connection = connectTo(server);
  connection->xadd({{"SValue:S.A.x", {{"value", "1"}}}, {"SValue:S.A.y", {{"value", "2.5"}}}}, 100);
  EXPECT_TRUE(allArrivedFirst);
  EXPECT_EQ(server.commands(),
            (Commands{{"XADD", "SValue:S.A.x", "MAXLEN", "~", "100", "*", "value", "1"},
                      {"XADD", "SValue:S.A.y", "MAXLEN", "~", "100", "*", "value", "2.5"}}));
}

TEST_F(RedisConnectionTest, HsetWritesEveryRequestBeforeReadingAReply) {
  std::atomic<bool> allArrivedFirst{false};
  FakeServer server(readAllThenAnswer(3, allArrivedFirst, ":1\r\n:1\r\n:0\r\n"));
  auto connection = connectTo(server);
  connection->hset(
      {{"Services", {{"S", "{}"}}}, {"S.DataTypes", {{"t_1", "[]"}}}, {"S.DataPoints", {{"S.A", "{}"}}}});
  EXPECT_TRUE(allArrivedFirst);
  EXPECT_EQ(server.commands(), (Commands{{"HSET", "Services", "S", "{}"},
                                         {"HSET", "S.DataTypes", "t_1", "[]"},
                                         {"HSET", "S.DataPoints", "S.A", "{}"}}));
}

TEST_F(RedisConnectionTest, ErrorReplyToTheFirstXaddThrowsItsTextAndLeavesTheSecondUnread) {
  std::atomic<bool> clientThrew{false};
  FakeServer server([&](FakeConnection& connection) {
    if (connection.readCommand(2s).empty() || connection.readCommand(2s).empty()) return;
    connection.send("-ERR first failed\r\n");
    // The second reply goes out only once the client has given up on the call.
    tul::test::waitUntil([&] { return clientThrew.load(); }, 5s);
    connection.send("$3\r\n1-2\r\n");
    connection.idle(10s);
  });
  auto connection = connectTo(server);
  const auto start = Clock::now();
  EXPECT_EQ(messageOf<std::runtime_error>([&] {
              connection->xadd({{"a", {{"value", "1"}}}, {"b", {{"value", "2"}}}}, 100);
            }),
            "ERR first failed");
  EXPECT_LT(since(start), 900ms) << "xadd must not wait for the second reply";
  clientThrew = true;
  EXPECT_EQ(textOf(connection->waitForReply(kReplyTimeout)), "1-2") << "the second reply is still pending";
}

TEST_F(RedisConnectionTest, EmptyBatchesSendNothing) {
  FakeServer server(answer("+PONG\r\n"));
  auto connection = connectTo(server);
  connection->xadd({}, 100);
  connection->hset({});
  EXPECT_EQ(connection->ping(), "PONG");
  EXPECT_EQ(server.commands(), (Commands{{"PING"}}));
}

TEST_F(RedisConnectionTest, CommandsWithoutReplyCheckAcceptAnyReply) {
  FakeServer server([](FakeConnection& connection) {
    for (const char* reply : {"-ERR wrong\r\n", "+OK\r\n", "$5\r\nhello\r\n", ":7\r\n"}) {
      if (connection.readCommand(5s).empty()) return;
      connection.send(reply);
    }
  });
  auto connection = connectTo(server);
  EXPECT_EQ(connection->del({"k"}), 0) << "an error reply counts as no key removed";
  EXPECT_EQ(connection->hdel("h", {"f"}), 0) << "a status reply is not an integer";
  EXPECT_EQ(connection->ping(), "hello");
  EXPECT_EQ(connection->ping(), "") << "an integer reply has no text";
}

}  // namespace
