// Channels: intervals of their subscribers, change collapsing, due times.

#include <cstdlib>
#include <limits>
#include <new>
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
  for (const char* name : {"S.Boiler.Temp", "S.Boiler.On", "S.Pump.Speed"}) channel(name)->takeChange();

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
  // Once the data worker has taken the change, the next change marks the channel and signals again.
  EXPECT_TRUE(channel("S.Boiler.Temp")->takeChange());
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

// Allocation failures injected into updateChannels: armed per thread, so only the code under test
// fails. Every failure must leave the map as it was (no entry without a live, subscribed channel).
thread_local long allocationsBeforeFailure = -1;

TEST_F(ChannelTest, RunningOutOfMemoryWhileAttachingLeavesNoHalfMadeChannel) {
  Subscription s = subscription(500);
  const std::vector<std::string> names = {"S.Boiler.Temp", "S.Boiler.On", "S.Pump.Speed"};
  bool completed = false;
  for (long failAt = 0; !completed && failAt < 10'000; ++failAt) {
    allocationsBeforeFailure = failAt;
    try {
      updateChannels(*service, names, {}, s);
      completed = true;
    } catch (const std::bad_alloc&) {
    }
    allocationsBeforeFailure = -1;
    std::lock_guard lock(service->channelMutex);
    for (const auto& [name, entry] : service->channelMap) {
      ASSERT_NE(entry, nullptr) << name << " after a failure at allocation " << failAt;
      EXPECT_TRUE(entry->hasSubscriber(s)) << name;
    }
  }
  EXPECT_TRUE(completed);
  EXPECT_EQ(service->channelMap.size(), names.size());
  updateChannels(*service, {}, names, s);
  EXPECT_TRUE(service->channelMap.empty());
}

}  // namespace

// Counts down allocationsBeforeFailure on the thread that armed it; every other allocation passes.
// The deletes release with free() to pair with it (AddressSanitizer's own would report a mismatch).
void* operator new(std::size_t size) {
  if (allocationsBeforeFailure == 0) throw std::bad_alloc();
  if (allocationsBeforeFailure > 0) --allocationsBeforeFailure;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
// GCC pairs the inlined free() with the standard operator new it assumes, not with the one above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop
