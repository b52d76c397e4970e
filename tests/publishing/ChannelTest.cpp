// Channels: intervals of their subscribers, change collapsing, due times.

#include <limits>
#include <thread>

#include <gtest/gtest.h>

#include "commands/Channel.h"
#include "commands/SubscriptionTable.h"
#include "support/ServiceHarness.h"

namespace {

using namespace ormanta;
using namespace ormanta::plugins::TulService;
using tul::test::ServiceHarness;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    harness.model().addElement({"Boiler", "", {}, {{"Temp", data::NativeType::kDouble}, {"On", data::NativeType::kBool}}});
    harness.model().addElement({"Pump", "", {}, {{"Speed", data::NativeType::kDouble}}});
    service = harness.create("{\"serviceName\":\"S\"}");
  }

  Subscription subscription(std::int64_t intervalMs) {
    Subscription s(*service);
    s.samplingInterval = intervalMs;
    return s;
  }

  std::shared_ptr<Channel> channel(const std::string& name) {
    std::lock_guard lock(service->channelMutex);
    auto found = service->channelMap.find(name);
    return found == service->channelMap.end() ? nullptr : found->second;
  }

  int drainSignal() {
    int count = 0;
    while (service->sampleSignal.try_acquire()) ++count;
    return count;
  }

  ServiceHarness harness;
  std::shared_ptr<Service> service;
};

TEST_F(ChannelTest, UnknownNamesGetNoChannelAndAttachMarksNewChannelsChanged) {
  Subscription s = subscription(500);
  updateChannels(*service, {"S.Boiler.Nope", "S.Boiler.On", "Pump.Speed"}, {}, s);
  EXPECT_EQ(channel("S.Boiler.Nope"), nullptr);
  ASSERT_NE(channel("S.Boiler.On"), nullptr);
  ASSERT_NE(channel("Pump.Speed"), nullptr);  // without the service prefix
  EXPECT_TRUE(channel("S.Boiler.On")->isChanged());
  EXPECT_EQ(drainSignal(), 1);
  updateChannels(*service, {}, {"S.Boiler.Nope", "S.Boiler.On", "Pump.Speed"}, s);
  EXPECT_TRUE(service->channelMap.empty());
}

TEST_F(ChannelTest, ManyChangesOfSeveralChannelsReleaseTheSignalOncePerBatch) {
  Subscription s = subscription(500);
  updateChannels(*service, {"S.Boiler.Temp", "S.Boiler.On", "S.Pump.Speed"}, {}, s);
  drainSignal();
  for (const char* name : {"S.Boiler.Temp", "S.Boiler.On", "S.Pump.Speed"}) channel(name)->markSampled(0);

  auto batch = harness.model().batch();
  for (int i = 1; i <= 50; ++i) {
    ASSERT_FALSE(batch.add("Boiler", "Temp", double(i)));
    ASSERT_FALSE(batch.add("Pump", "Speed", double(i)));
  }
  ASSERT_FALSE(batch.add("Boiler", "On", true));
  batch.commit();
  EXPECT_EQ(drainSignal(), 1);
  // Changes of channels that are still marked changed do not wake the worker again.
  harness.model().setValue("Boiler", "Temp", 99.0);
  EXPECT_EQ(drainSignal(), 0);
  // After sampling, the next change marks the channel and signals again.
  channel("S.Boiler.Temp")->markSampled(1);
  EXPECT_FALSE(channel("S.Boiler.Temp")->isChanged());
  harness.model().setValue("Boiler", "Temp", 100.0);
  EXPECT_TRUE(channel("S.Boiler.Temp")->isChanged());
  EXPECT_EQ(drainSignal(), 1);
  updateChannels(*service, {}, {"S.Boiler.Temp", "S.Boiler.On", "S.Pump.Speed"}, s);
}

TEST_F(ChannelTest, DueTimesSaturateInsteadOfOverflowing) {
  Subscription s = subscription(500);
  updateChannels(*service, {"S.Boiler.Temp"}, {}, s);
  auto temp = channel("S.Boiler.Temp");
  EXPECT_EQ(temp->nextDue(), kMin);  // never sampled: due at once, whatever the interval

  Subscription negative = subscription(-1000);
  updateChannels(*service, {"S.Boiler.Temp"}, {}, negative);
  EXPECT_EQ(temp->nextDue(), kMin);
  temp->markSampled(kMin + 5);
  EXPECT_EQ(temp->nextDue(), kMin);  // saturates downwards
  temp->markSampled(1000);
  EXPECT_EQ(temp->nextDue(), 1000 - 1000 * 10'000);

  updateChannels(*service, {}, {"S.Boiler.Temp"}, negative);
  updateChannels(*service, {}, {"S.Boiler.Temp"}, s);
  Subscription huge = subscription(kMax);
  Subscription first = subscription(kMin);  // lowers to the smallest interval there is
  updateChannels(*service, {"S.Boiler.On"}, {}, first);
  updateChannels(*service, {"S.Boiler.On"}, {}, huge);
  updateChannels(*service, {}, {"S.Boiler.On"}, first);  // re-tuned to the huge interval
  auto on = channel("S.Boiler.On");
  ASSERT_EQ(on->samplingInterval(), kMax);
  on->markSampled(1'000'000);
  EXPECT_EQ(on->nextDue(), kMax);
  updateChannels(*service, {}, {"S.Boiler.On"}, huge);
}

TEST(SaturatingArithmeticTest, ClampsAtBothEnds) {
  EXPECT_EQ(saturatingAdd(kMax, 1), kMax);
  EXPECT_EQ(saturatingAdd(kMin, -1), kMin);
  EXPECT_EQ(saturatingAdd(5, -7), -2);
  EXPECT_EQ(millisecondsToTicks(kMax / 10), kMax);
  EXPECT_EQ(millisecondsToTicks(kMin / 10), kMin);
  EXPECT_EQ(millisecondsToTicks(-3), -30'000);
}

}  // namespace
