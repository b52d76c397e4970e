// RedisConnection's framing, pipelining and failure paths against a scripted fake server.

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include "redis/RedisConnection.h"
#include "support/Errors.h"
#include "support/FakeServer.h"
#include "support/Ports.h"
#include "support/Wait.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using ormanta::plugins::TulService::kMaxReplyElements;
using ormanta::plugins::TulService::RedisConnection;
using ormanta::plugins::TulService::RedisError;
using ormanta::plugins::TulService::RedisRecord;
using ormanta::plugins::TulService::RedisReplyPtr;
using ormanta::utils::io::StopSource;
using tul::test::FakeConnection;
using tul::test::FakeServer;
using tul::test::LoopbackListener;
using tul::test::messageOf;
using tul::test::systemErrorOf;
using Clock = std::chrono::steady_clock;
using Commands = std::vector<std::vector<std::string>>;

constexpr auto kReplyTimeout = 1000ms;
const std::string kTimeoutMessage = "timeout exceeded while waiting for a Redis reply";
const std::string kCorruptMessage = "corrupted Redis reply received";
const std::string kConnectMessage = "failed to connect to the Redis database";

std::string textOf(const redisReply& reply) { return std::string(reply.str, reply.len); }

auto since(Clock::time_point start) { return Clock::now() - start; }

// The kind of the RedisError that call throws.
template <class Call>
std::optional<RedisError::Kind> kindOf(Call&& call) {
  try {
    call();
  } catch (const RedisError& error) {
    return error.kind();
  }
  return std::nullopt;
}

// Answers each request with the next of replies ("" sends nothing), then waits for the client to go.
FakeServer::Script answer(std::vector<std::string> replies) {
  return [replies](FakeConnection& connection) {
    for (const std::string& reply : replies) {
      if (connection.readCommand(5s).empty() || !connection.send(reply)) return;
    }
    connection.waitForPeerClose(20s);
  };
}

class RedisConnectionTest : public ::testing::Test {
 protected:
  std::unique_ptr<RedisConnection> connectTo(const FakeServer& server) {
    auto connection = std::make_unique<RedisConnection>(server.address());
    connection->connect(stop, 3);
    return connection;
  }

  StopSource stop;  // outlives every connection bound to it
};

TEST_F(RedisConnectionTest, ConnectFailsInTimeWhenRefusedUnreachableOrStopped) {
  LoopbackListener blackHole(AF_INET, 0);
  blackHole.fillBacklog();  // handshakes now hang, as behind a firewall that drops them
  const std::string hanging = "127.0.0.1:" + std::to_string(blackHole.port());
  for (const std::string& address : {"127.0.0.1:" + std::to_string(tul::test::freeLoopbackPort()),
                                     "no-such-host.invalid:6380"s, "127.0.0.1:notaport"s, hanging}) {
    const std::uint64_t seconds = address == hanging ? 1 : 3;
    RedisConnection connection(address);
    const auto start = Clock::now();
    EXPECT_EQ(messageOf<std::runtime_error>([&] { connection.connect(stop, seconds); }), kConnectMessage)
        << address;
    EXPECT_LT(since(start), 3s) << address;
    EXPECT_GE(since(start), address == hanging ? 900ms : 0ms) << "the connect must really hang";
    EXPECT_EQ(kindOf([&] { connection.ping(); }), RedisError::Kind::kClosed) << "not connected: " << address;
  }

  RedisConnection stopped(hanging);
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop.requestStop();
  });
  const auto start = Clock::now();
  EXPECT_EQ(messageOf<std::runtime_error>([&] { stopped.connect(stop, 3); }), kConnectMessage);
  EXPECT_EQ(kindOf([&] { stopped.connect(stop, 3); }), RedisError::Kind::kStopped);
  EXPECT_LT(since(start), 600ms) << "a stop ends the connect promptly";
  stopper.join();
  LoopbackListener listener;
  RedisConnection later("127.0.0.1:" + std::to_string(listener.port()));
  EXPECT_EQ(messageOf<std::runtime_error>([&] { later.connect(stop, 3); }), kConnectMessage);
  EXPECT_FALSE(listener.accept(50ms)) << "a stopped source connects nowhere";
}

TEST_F(RedisConnectionTest, StopOrServerCloseEndsAReplyWaitPromptlyWithItsKind) {
  FakeServer silent(answer({""}));
  FakeServer closing([](FakeConnection& connection) {
    connection.readCommand(5s);
    std::this_thread::sleep_for(100ms);
    connection.close();
  });
  for (const bool blockedRead : {false, true}) {
    for (const bool byStop : {true, false}) {
      StopSource stopSource;
      RedisConnection connection(byStop ? silent.address() : closing.address());
      connection.connect(stopSource, 3);
      std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        if (byStop) stopSource.requestStop();
      });
      const auto start = Clock::now();
      // A ping waits its reply time-out at most, a read of the command stream its block time more.
      const auto wait = [&] {
        blockedRead ? (void)connection.xread("s", "$", 60'000, 10) : (void)connection.ping();
      };
      EXPECT_EQ(systemErrorOf(wait), byStop ? std::errc::operation_canceled : std::errc::connection_reset);
      EXPECT_EQ(kindOf(wait), byStop ? RedisError::Kind::kStopped : RedisError::Kind::kClosed);
      EXPECT_LT(since(start), 600ms) << "well before the 1 s reply time-out";
      stopper.join();
    }
  }
}

TEST_F(RedisConnectionTest, RepliesAreFramedWhateverTheReadBoundaries) {
  FakeServer server([](FakeConnection& connection) {
    connection.readCommand(5s);
    for (const char* part :
         {"+first\r\n$6\r\nsecond\r\n*2\r\n$5\r\nhel", "lo\r\n", "$5", "\r\nworld\r", "\n"}) {
      connection.send(part);
      std::this_thread::sleep_for(30ms);
    }
    connection.waitForPeerClose(10s);
  });
  auto connection = connectTo(server);
  connection->sendCommand({"PING"});
  std::this_thread::sleep_for(50ms);  // the first part has come
  EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->waitForReply(0ms); }), kTimeoutMessage)
      << "a zero time-out throws before reading anything";
  EXPECT_EQ(textOf(*connection->waitForReply(kReplyTimeout)), "first");
  const RedisReplyPtr second = connection->tryGetReply();
  ASSERT_TRUE(second) << "the second reply came in the same read";
  EXPECT_EQ(textOf(*second), "second");
  const RedisReplyPtr split = connection->waitForReply(kReplyTimeout);
  ASSERT_EQ(split->elements, 2u);
  EXPECT_EQ(textOf(*split->element[0]) + textOf(*split->element[1]), "helloworld");
}

TEST_F(RedisConnectionTest, NoCompleteReplyWithinTheTimeoutThrows) {
  for (const std::string& partial : {""s, "$10\r\nonly"s}) {
    FakeServer server(answer({partial}));
    auto connection = connectTo(server);
    connection->sendCommand({"PING"});
    const auto start = Clock::now();
    EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->waitForReply(kReplyTimeout); }),
              kTimeoutMessage);
    EXPECT_GE(since(start), 950ms);
    EXPECT_LT(since(start), 2s);
  }
}

TEST_F(RedisConnectionTest, BytesThatAreNotRespAreACorruptedReply) {
  // hiredis 0.14 knows no RESP3 push type, so a push before the answer is a protocol error
  // too; a hiredis that parses RESP3 drops the push and returns the answer.
  const std::string push = ">2\r\n$10\r\ninvalidate\r\n*1\r\n$3\r\nkey\r\n+PONG\r\n";
  // An array header past the reader's limit: refused at once, before its elements are allocated.
  const std::string huge = "*" + std::to_string(kMaxReplyElements + 1) + "\r\n";
  for (const std::string& bytes : {"HTTP/1.1 400 Bad Request\r\n\r\n"s, push, huge}) {
    FakeServer server(answer({bytes}));
    auto connection = connectTo(server);
    if (HIREDIS_MAJOR >= 1 && bytes == push) {
      EXPECT_EQ(connection->ping(), "PONG");
      continue;
    }
    EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->ping(); }), kCorruptMessage) << bytes;
    EXPECT_EQ(messageOf<std::runtime_error>([&] { connection->tryGetReply(); }), kCorruptMessage)
        << "the reader stays broken";
  }
}

TEST_F(RedisConnectionTest, XaddAndHsetWriteEveryRequestBeforeReadingAReply) {
  std::atomic<int> bothBeforeAnswer{0};
  FakeServer server([&](FakeConnection& connection) {
    // A client that awaited the first reply before its second request stalls here.
    if (connection.readCommand(2s).empty() || connection.readCommand(2s).empty()) return;
    ++bothBeforeAnswer;
    connection.send("-ERR first failed\r\n");
    std::this_thread::sleep_for(300ms);
    connection.send("$3\r\n1-2\r\n+PONG\r\n");
    connection.waitForPeerClose(10s);
  });
  const std::vector<RedisRecord> records = {{"x", {{"v", "1"}}}, {"y", {{"v", "\0\r\n"s}}}};
  for (const bool xadd : {true, false}) {
    auto connection = connectTo(server);
    const auto start = Clock::now();
    EXPECT_EQ(messageOf<std::runtime_error>(
                  [&] { xadd ? connection->xadd(records, 100) : connection->hset(records); }),
              "ERR first failed");
    // The error is reported only once every reply of the batch is read, so that closing the
    // connection afterwards cannot make the server drop requests it has not run yet.
    EXPECT_GE(since(start), 300ms) << "the call must read the second reply before it throws";
    EXPECT_EQ(textOf(*connection->waitForReply(kReplyTimeout)), "PONG")
        << "nothing of the batch is left unread";
  }
  EXPECT_EQ(bothBeforeAnswer, 2);
  EXPECT_EQ(server.commands(), (Commands{{"XADD", "x", "MAXLEN", "~", "100", "*", "v", "1"},
                                         {"XADD", "y", "MAXLEN", "~", "100", "*", "v", "\0\r\n"s},
                                         {"HSET", "x", "v", "1"},
                                         {"HSET", "y", "v", "\0\r\n"s}}));
}

TEST_F(RedisConnectionTest, EachCommandSendsItsRequestAndTakesAnyReplyShape) {
  FakeServer server(answer({"-ERR wrong\r\n", "+OK\r\n", "$5\r\nhello\r\n", ":7\r\n", "*-1\r\n", "*-1\r\n"}));
  auto connection = connectTo(server);
  EXPECT_EQ(messageOf<std::runtime_error>([&] {
              (void)connection->del({"k", "l"});
            }),
            "ERR wrong")
      << "a refused DEL is no success";
  EXPECT_EQ(connection->hdel("h", {"f"}), 0) << "a status reply is not an integer";
  connection->xadd({}, 100);
  connection->hset({});
  EXPECT_EQ(connection->ping(), "hello");
  EXPECT_EQ(connection->ping(), "") << "an integer reply has no text";
  EXPECT_FALSE(connection->xread("svc.Commands", "$", 1, 10));
  EXPECT_FALSE(connection->xread("svc.Commands", "1-2", 3401, 1000));
  EXPECT_THROW(connection->xread("svc.Commands", "1-2", 0, 10), std::invalid_argument) << "never BLOCK 0";
  EXPECT_EQ(server.commands(),
            (Commands{{"DEL", "k", "l"},
                      {"HDEL", "h", "f"},
                      {"PING"},
                      {"PING"},
                      {"XREAD", "COUNT", "10", "BLOCK", "1", "STREAMS", "svc.Commands", "$"},
                      {"XREAD", "COUNT", "1000", "BLOCK", "3401", "STREAMS", "svc.Commands", "1-2"}}))
      << "empty batches send nothing";
}

}  // namespace
