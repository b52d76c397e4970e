// Guards against a fake server that silently records nothing, which would make other tests'
// assertions on its commands (none sent, say) or its script errors hold vacuously.

#include <gtest/gtest.h>

#include <stdexcept>

#include "support/FakeServer.h"
#include "support/RedisClient.h"
#include "support/Wait.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using tul::test::waitUntil;

TEST(FakeServer, RecordsEveryRequestAndKeepsWhatAScriptThrows) {
  tul::test::FakeServer server([](tul::test::FakeConnection& connection) {
    while (!connection.readCommand(2s).empty()) connection.send("+OK\r\n");
    throw std::logic_error("script bug");
  });
  {
    tul::test::RedisClient client("127.0.0.1", server.port());
    EXPECT_EQ(client.str({"SET", "k", "a\0b"s}), "OK");
    EXPECT_EQ(client.str({"PING"}), "OK");
  }
  EXPECT_EQ(server.commands(), (std::vector<std::vector<std::string>>{{"SET", "k", "a\0b"s}, {"PING"}}));
  ASSERT_TRUE(waitUntil([&] { return !server.scriptErrors().empty(); }, 3s));
  EXPECT_EQ(server.scriptErrors(), std::vector<std::string>{"script bug"});
}

}  // namespace
