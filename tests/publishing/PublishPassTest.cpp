// One sampling pass, against a scripted server that sees exactly what goes over the wire.

#include <gtest/gtest.h>

#include "commands/Channel.h"
#include "commands/SubscriptionTable.h"
#include "publishing/ValuePublisher.h"
#include "support/FakeServer.h"
#include "support/ServiceHarness.h"

namespace {

using namespace std::chrono_literals;
using namespace ormanta;
using namespace ormanta::plugins::TulService;

class PublishPassTest : public ::testing::Test {
 protected:
  void SetUp() override {
    harness.model().addElement({"Boiler", "", {}, {{"Temp", data::NativeType::kDouble, model::kAccessRead, 64, 20.5},
                                                   {"On", data::NativeType::kBool, model::kAccessRead, 8, true}}});
    service = harness.create("{\"serviceName\":\"S\"}");
    subscription = std::make_unique<Subscription>(*service);
  }
  void TearDown() override { updateChannels(*service, {}, {"S.Boiler.Temp", "S.Boiler.On"}, *subscription); }

  tul::test::ServiceHarness harness;
  std::shared_ptr<Service> service;
  std::unique_ptr<Subscription> subscription;
  utils::io::StopSource stop;
};

TEST_F(PublishPassTest, DueChannelsGoOutAsOnePipelinedBatch) {
  std::atomic<bool> bothBeforeReply{false};
  tul::test::FakeServer server([&](tul::test::FakeConnection& connection) {
    // Reply only once both requests are in: a client that waited for the first reply would stall.
    auto first = connection.readCommand(2s);
    auto second = connection.readCommand(2s);
    bothBeforeReply = !first.empty() && !second.empty();
    connection.send("$3\r\n1-1\r\n$3\r\n1-2\r\n");
    connection.waitForPeerClose(2s);
  });
  updateChannels(*service, {"S.Boiler.Temp", "S.Boiler.On"}, {}, *subscription);
  RedisConnection connection(server.address());
  connection.connect(stop, 3);
  ValuePublisher publisher(connection, *service);
  const PublishResult result = publisher.publishPass(3000);
  EXPECT_FALSE(result.waitingChannels);
  EXPECT_EQ(result.waitMs, 3000u);
  EXPECT_TRUE(bothBeforeReply);

  auto commands = server.commands();
  ASSERT_EQ(commands.size(), 2u);
  std::sort(commands.begin(), commands.end());
  EXPECT_EQ(commands[0], (std::vector<std::string>{"XADD", "SValue:S.Boiler.On", "MAXLEN", "~", "100", "*", "value",
                                                   "true"}));
  EXPECT_EQ(commands[1], (std::vector<std::string>{"XADD", "SValue:S.Boiler.Temp", "MAXLEN", "~", "100", "*", "value",
                                                   "20.5"}));
}

TEST_F(PublishPassTest, ChannelsNotYetDueAreKeptAndBoundTheNextWait) {
  tul::test::FakeServer server([](tul::test::FakeConnection& connection) {
    while (!connection.readCommand(2s).empty()) connection.send("$3\r\n1-1\r\n");
  });
  updateChannels(*service, {"S.Boiler.Temp"}, {}, *subscription);
  RedisConnection connection(server.address());
  connection.connect(stop, 3);
  ValuePublisher publisher(connection, *service);
  ASSERT_EQ(publisher.publishPass(3000).waitingChannels, false);  // first value at once

  harness.model().setValue("Boiler", "Temp", 21.0);
  const PublishResult result = publisher.publishPass(3000);
  EXPECT_TRUE(result.waitingChannels);
  EXPECT_GE(result.waitMs, 400u);
  EXPECT_LE(result.waitMs, 501u);
  EXPECT_EQ(server.commands().size(), 1u);  // the second change waits for its interval
}

}  // namespace
