// One sampling pass, against a scripted server that sees exactly what goes over the wire.

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "commands/SubscriptionTable.h"
#include "publishing/Channel.h"
#include "publishing/ValuePublisher.h"
#include "support/UnitFixtures.h"

namespace {

using namespace std::chrono_literals;
using namespace ormanta;
using namespace ormanta::plugins::TulService;

// A publisher on a connection to a server that answers every request.
class PublishPassTest : public tul::test::BoilerServiceTest {
 protected:
  void SetUp() override {
    BoilerServiceTest::SetUp();
    subscription = std::make_unique<Subscription>(*service);
    connection = connectTo(server);
    publisher = std::make_unique<ValuePublisher>(*connection, *service);
  }
  void TearDown() override { updateChannels(*service, {}, {"S.Boiler.Temp", "S.Boiler.On"}, *subscription); }
  std::size_t published() { return server.commands().size(); }

  tul::test::FakeServer server{tul::test::answerEvery()};
  std::unique_ptr<Subscription> subscription;
  std::unique_ptr<RedisConnection> connection;
  std::unique_ptr<ValuePublisher> publisher;
};

TEST_F(PublishPassTest, DueChannelsGoOutAsOnePipelinedBatch) {
  std::atomic<bool> bothBeforeReply{false};
  tul::test::FakeServer pairing([&](tul::test::FakeConnection& connection) {
    // Reply only once both requests are in: a client that waited for the first reply would stall.
    auto first = connection.readCommand(2s);
    auto second = connection.readCommand(2s);
    bothBeforeReply = !first.empty() && !second.empty();
    connection.send("$3\r\n1-1\r\n$3\r\n1-2\r\n");
    connection.waitForPeerClose(2s);
  });
  updateChannels(*service, {"S.Boiler.Temp", "S.Boiler.On"}, {}, *subscription);
  const auto paired = connectTo(pairing);
  const PublishResult result = ValuePublisher(*paired, *service).publishPass(3000);
  EXPECT_FALSE(result.waitingChannels);
  EXPECT_EQ(result.waitMs, 3000u);
  EXPECT_TRUE(bothBeforeReply);

  auto commands = pairing.commands();
  std::sort(commands.begin(), commands.end());
  EXPECT_EQ(commands, (std::vector<std::vector<std::string>>{
                          {"XADD", "SValue:S.Boiler.On", "MAXLEN", "~", "100", "*", "value", "false"},
                          {"XADD", "SValue:S.Boiler.Temp", "MAXLEN", "~", "100", "*", "value", "20.5"}}));
}

TEST_F(PublishPassTest, ChannelsNotYetDueAreKeptAndBoundTheNextWait) {
  updateChannels(*service, {"S.Boiler.Temp"}, {}, *subscription);
  ASSERT_EQ(publisher->publishPass(3000).waitingChannels, false);  // first value at once

  harness.model().setValue("Boiler", "Temp", 21.0);
  const PublishResult result = publisher->publishPass(3000);
  EXPECT_TRUE(result.waitingChannels);
  EXPECT_GE(result.waitMs, 400u);
  EXPECT_LE(result.waitMs, 501u);
  EXPECT_EQ(published(), 1u);  // the second change waits for its interval
}

// A member whose reads the test controls: they may fail, and a read may run a hook (standing for
// a change that the host delivers while the data worker reads).
class ScriptedSource final : public data::detail::ValueSource {
 public:
  data::NativeType nativeType() const noexcept override { return data::NativeType::kDouble; }
  std::int32_t bitSize() const noexcept override { return 64; }
  std::error_code hardError() const noexcept override { return {}; }
  std::error_code read(data::Value& out) const override {
    if (unreadable) return make_error_code(data::HandleError::kNoAttribute);
    out = value;
    if (duringRead) std::exchange(duringRead, nullptr)();
    return {};
  }

  double value = 1.5;
  bool unreadable = false;
  mutable std::function<void()> duringRead;
};

class ScriptedPassTest : public PublishPassTest {
 protected:
  void SetUp() override {
    PublishPassTest::SetUp();
    subscription->samplingInterval = 0;
    channel = std::make_shared<Channel>(service->channels(), data::ReadHandle(source), "S.X");
    channel->addSubscriber(*subscription);
    (void)channel->attach();
  }

  std::shared_ptr<ScriptedSource> source = std::make_shared<ScriptedSource>();
  std::shared_ptr<Channel> channel;
};

TEST_F(ScriptedPassTest, AChangeDuringThePassIsPublishedByTheNextOne) {
  source->duringRead = [&] {
    source->value = 2.5;
    channel->onChange();
  };
  publisher->publishPass(3000);
  ASSERT_EQ(published(), 1u);
  EXPECT_TRUE(channel->isChanged()) << "the change that landed during the read was wiped";
  publisher->publishPass(3000);
  ASSERT_EQ(published(), 2u);
  EXPECT_EQ(server.commands()[1].back(), "2.5");
}

TEST_F(ScriptedPassTest, AnUnreadableMemberIsRetriedOnceItsIntervalHasPassed) {
  source->unreadable = true;
  const PublishResult failed = publisher->publishPass(3000);
  EXPECT_EQ(published(), 0u);
  EXPECT_TRUE(failed.waitingChannels) << "an idle worker would never try the member again";
  EXPECT_LE(failed.waitMs, std::uint64_t(ValuePublisher::kUnreadableRetryMs) + 1);
  EXPECT_GE(failed.waitMs, std::uint64_t(ValuePublisher::kUnreadableRetryMs) - 20);

  source->unreadable = false;
  std::this_thread::sleep_for(std::chrono::milliseconds(failed.waitMs));
  const PublishResult retried = publisher->publishPass(3000);
  EXPECT_EQ(published(), 1u);
  EXPECT_FALSE(retried.waitingChannels);
  // Its next change is published like any other.
  channel->onChange();
  publisher->publishPass(3000);
  EXPECT_EQ(published(), 2u);
}

TEST_F(PublishPassTest, EveryNewSubscriberGetsTheCurrentValueAtTheNextPass) {
  updateChannels(*service, {"S.Boiler.Temp"}, {}, *subscription);
  publisher->publishPass(3000);
  ASSERT_EQ(published(), 1u);

  // A second peer, well within the channel's interval and with no change: it still gets a value.
  Subscription second(*service);
  updateChannels(*service, {"S.Boiler.Temp"}, {}, second);
  publisher->publishPass(3000);
  ASSERT_EQ(published(), 2u);
  EXPECT_EQ(server.commands()[1], server.commands()[0]);

  // A renewal that adds no name publishes nothing extra; one that adds a name publishes that one.
  service->subscriptionTable().addOrUpdate("a", 500, 20'000, {"S.Boiler.Temp"});
  publisher->publishPass(3000);
  EXPECT_EQ(published(), 3u);
  service->subscriptionTable().addOrUpdate("a", 500, 20'000, {"S.Boiler.Temp"});
  publisher->publishPass(3000);
  EXPECT_EQ(published(), 3u);
  service->subscriptionTable().addOrUpdate("a", 500, 20'000, {"S.Boiler.On", "S.Boiler.Temp"});
  publisher->publishPass(3000);
  ASSERT_EQ(published(), 4u);
  EXPECT_EQ(server.commands()[3][1], "SValue:S.Boiler.On");
  updateChannels(*service, {}, {"S.Boiler.Temp"}, second);
  service->subscriptionTable().clear();
}

}  // namespace
