// The helpers other tests lean on: a broken helper would make their failures meaningless.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

#include "support/FakeServer.h"
#include "support/RedisClient.h"
#include "support/RedisServer.h"
#include "support/Wait.h"

namespace {

using namespace std::chrono_literals;
using tul::test::FakeConnection;
using tul::test::FakeServer;
using tul::test::RedisClient;
using tul::test::RedisServer;
using Clock = std::chrono::steady_clock;

bool processExists(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

TEST(RedisServer, RunsPrivatelyAndCleansUpAfterItself) {
  pid_t pid = -1;
  std::filesystem::path directory;
  {
    RedisServer server;
    pid = server.pid();
    directory = server.directory();
    EXPECT_GT(pid, 0);
    EXPECT_NE(server.port(), 6379);
    EXPECT_EQ(server.address(), "127.0.0.1:" + std::to_string(server.port()));
    EXPECT_TRUE(std::filesystem::is_directory(directory));
    RedisClient client(server);
    EXPECT_EQ(client.str({"PING"}), "PONG");
    for (const auto& [name, expected] : {std::pair{"save", ""}, std::pair{"appendonly", "no"}}) {
      const auto reply = client.command({"CONFIG", "GET", name});
      ASSERT_EQ(reply->elements, 2u) << name;
      EXPECT_EQ(std::string(reply->element[1]->str, reply->element[1]->len), expected) << name;
    }
  }
  EXPECT_FALSE(processExists(pid));
  EXPECT_FALSE(std::filesystem::exists(directory));
}

TEST(RedisServer, RemovesDirectoriesLeftByDeadTestProcesses) {
  // A process that is surely gone: a child that has exited and been reaped.
  const pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ASSERT_GT(dead, 0);
  ::waitpid(dead, nullptr, 0);
  const auto temp = std::filesystem::temp_directory_path();
  const auto orphan = temp / ("tul-redis-" + std::to_string(dead) + "-test00");
  const auto mine = temp / ("tul-redis-" + std::to_string(::getpid()) + "-test00");
  std::filesystem::create_directories(orphan);
  std::filesystem::create_directories(mine);
  { RedisServer server; }
  EXPECT_FALSE(std::filesystem::exists(orphan));
  EXPECT_TRUE(std::filesystem::exists(mine)) << "a live owner's directory stays";
  std::filesystem::remove_all(mine);
}

TEST(RedisServer, StopsAndStartsAgainOnTheSamePort) {
  RedisServer server;
  const int port = server.port();
  server.stop();
  EXPECT_FALSE(server.running());
  EXPECT_THROW(RedisClient("127.0.0.1", port), std::runtime_error);
  server.stop();  // idempotent
  server.start();
  EXPECT_EQ(server.port(), port);
  RedisClient client(server);
  EXPECT_EQ(client.str({"PING"}), "PONG");
}

TEST(RedisClient, ReadsHashesStreamsAndCommandStats) {
  RedisServer server;
  RedisClient client(server);
  client.command({"HSET", "h", "a", "1", "b", "2"});
  EXPECT_EQ(client.hgetall("h"), (std::map<std::string, std::string>{{"a", "1"}, {"b", "2"}}));
  const std::string id = client.xadd("s", {{"f", "v"}, {"f", "w"}});
  const auto entries = client.xrange("s");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].id, id);
  EXPECT_EQ(entries[0].fields, (RedisClient::Fields{{"f", "v"}, {"f", "w"}}));
  EXPECT_EQ(client.xlen("s"), 1);
  EXPECT_EQ(client.commandStats()["hset"], 1);
  EXPECT_THROW(client.integer({"GET", "h"}), std::runtime_error) << "WRONGTYPE is an error reply";
  client.flushAll();
  EXPECT_FALSE(client.exists("h"));
}

TEST(FakeServer, RecordsArrayAndInlineCommands) {
  FakeServer server([](FakeConnection& connection) {
    while (!connection.readCommand(2s).empty()) connection.send("+OK\r\n");
  });
  RedisClient client("127.0.0.1", server.port());
  EXPECT_EQ(client.str({"SET", "k", std::string("a\0b", 3)}), "OK");
  EXPECT_EQ(client.str({"PING"}), "OK");
  const auto commands = server.commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0], (std::vector<std::string>{"SET", "k", std::string("a\0b", 3)}));
  EXPECT_EQ(commands[1], (std::vector<std::string>{"PING"}));
  EXPECT_EQ(server.connectionCount(), 1u);
  EXPECT_TRUE(server.scriptErrors().empty());
}

TEST(FakeServer, DestructionWakesStalledScriptsPromptly) {
  const auto start = Clock::now();
  {
    FakeServer server([](FakeConnection& connection) {
      connection.readCommand(30s);
      connection.idle(30s);
    });
    RedisClient client("127.0.0.1", server.port());
    ASSERT_TRUE(tul::test::waitUntil([&] { return server.connectionCount() == 1; }, 2s));
  }
  EXPECT_LT(Clock::now() - start, 3s);
}

TEST(FakeServer, KeepsWhatAScriptThrows) {
  FakeServer server([](FakeConnection&) { throw std::logic_error("script bug"); });
  RedisClient client("127.0.0.1", server.port());
  ASSERT_TRUE(tul::test::waitUntil([&] { return !server.scriptErrors().empty(); }, 2s));
  EXPECT_EQ(server.scriptErrors().front(), "script bug");
}

TEST(FakeServer, SeesTheClientClose) {
  std::atomic<int> closed{-1};
  FakeServer server([&](FakeConnection& connection) { closed = connection.waitForPeerClose(5s) ? 1 : 0; });
  { RedisClient client("127.0.0.1", server.port()); }
  EXPECT_TRUE(tul::test::waitUntil([&] { return closed.load() != -1; }, 5s));
  EXPECT_EQ(closed.load(), 1);
}

TEST(WaitUntil, ReturnsAsSoonAsThePredicateHoldsAndFalseAfterTheTimeout) {
  int calls = 0;
  EXPECT_TRUE(tul::test::waitUntil([&] { return ++calls >= 3; }, 1s, 1ms));
  EXPECT_EQ(calls, 3);
  const auto start = Clock::now();
  EXPECT_FALSE(tul::test::waitUntil([] { return false; }, 50ms));
  EXPECT_GE(Clock::now() - start, 50ms);
  EXPECT_LT(Clock::now() - start, 1s);
}

}  // namespace
