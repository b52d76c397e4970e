// Channels: change collapsing into one signal per batch, and attaching that cannot half-fail.

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <set>

#include "commands/SubscriptionTable.h"
#include "publishing/ValuePublisher.h"
#include "support/UnitFixtures.h"

namespace {

using namespace ormanta::plugins::TulService;

class ChannelTest : public tul::test::BoilerServiceTest {
 protected:
  int drainSignal() {
    int count = 0;
    while (service->channels().waitForSignal(std::chrono::milliseconds(0))) ++count;
    return count;
  }
  Channel& channel(const std::string& name) { return *service->channels().find(name); }
};

TEST_F(ChannelTest, ChangesOfSeveralChannelsReleaseTheSignalOncePerBatchUntilTheChangeIsTaken) {
  Subscription s(*service);
  const std::vector<std::string> names = {"S.Boiler.Temp", "S.Boiler.On", "Boiler.Count"};
  updateChannels(*service, {"S.Boiler.Nope", names[0], names[1], names[2]}, {}, s);
  const std::vector<std::string> made = {"Boiler.Count", "S.Boiler.On", "S.Boiler.Temp"};
  ASSERT_EQ(service->channels().names(), made)
      << "unknown names get no channel; the service prefix may be left out";
  EXPECT_TRUE(channel("S.Boiler.On").isChanged()) << "a new channel has its first value due";
  EXPECT_EQ(drainSignal(), 1);
  for (const auto& name : names) channel(name).takeChange();

  auto batch = harness.model().batch();
  for (int i = 1; i <= 50; ++i) {
    ASSERT_FALSE(batch.add("Boiler", "Temp", double(i)));
    ASSERT_FALSE(batch.add("Boiler", "Count", std::int64_t{i}));
  }
  ASSERT_FALSE(batch.add("Boiler", "On", true));
  batch.commit();
  EXPECT_EQ(drainSignal(), 1);
  // Changes of channels that are still marked changed do not wake the worker again.
  harness.model().setValue("Boiler", "Temp", 99.0);
  EXPECT_EQ(drainSignal(), 0);
  // Once the data worker has taken the change, the next change marks the channel and signals again.
  EXPECT_TRUE(channel("S.Boiler.Temp").takeChange());
  EXPECT_FALSE(channel("S.Boiler.Temp").isChanged());
  harness.model().setValue("Boiler", "Temp", 100.0);
  EXPECT_TRUE(channel("S.Boiler.Temp").isChanged());
  EXPECT_EQ(drainSignal(), 1);
  updateChannels(*service, {}, names, s);
  EXPECT_TRUE(service->channels().names().empty());
}

// Allocation failures injected into updateChannels and the data worker's pass: armed per thread,
// so only the code under test fails. Every failure must leave the map as it was (no entry without
// a live, subscribed channel), and every channel on the changed stack owned by the map or the
// retired list (under AddressSanitizer a freed one is also reported as read after free).
thread_local long allocationsBeforeFailure = -1;

TEST_F(ChannelTest, RunningOutOfMemoryLeavesNoHalfMadeChannelAndNoUnownedOneOnTheChangedStack) {
  const auto expectStackOwned = [&](const std::string& when) {
    Channel* first = service->channels().takeChanged();
    for (Channel* c = first; c != nullptr; c = c->nextChanged()) {
      if (service->channels().owns(c)) continue;
      ADD_FAILURE() << "an unowned channel on the changed stack " << when;
      return;  // its link may lead anywhere
    }
    service->channels().putBackChanged(first);
  };
  Subscription s(*service);
  const std::vector<std::string> names = {"S.Boiler.Temp", "S.Boiler.On", "S.Boiler.Count"};
  bool completed = false;
  for (long failAt = 0; !completed && failAt < 10'000; ++failAt) {
    allocationsBeforeFailure = failAt;
    try {
      updateChannels(*service, names, {}, s);
      completed = true;
    } catch (const std::bad_alloc&) {
    }
    allocationsBeforeFailure = -1;
    expectStackOwned("after a failure at allocation " + std::to_string(failAt));
    for (const std::string& name : service->channels().names()) {
      EXPECT_TRUE(service->channels().subscribed(name, s))
          << name << " after a failure at allocation " << failAt;
    }
  }
  EXPECT_TRUE(completed);
  EXPECT_EQ(service->channels().names().size(), names.size());

  // A pass that cannot grow its queue puts the changed channels back, but not one retired while
  // on the stack: only the pass, which it leaves by the exception, kept that one alive.
  updateChannels(*service, {}, {names[0]}, s);
  {
    RedisConnection unconnected("127.0.0.1:1");
    ValuePublisher publisher(unconnected, *service);
    allocationsBeforeFailure = 0;  // the queue's reserve
    EXPECT_THROW(publisher.publishPass(1000), std::bad_alloc);
    allocationsBeforeFailure = -1;
  }
  expectStackOwned("after a failed pass");
  updateChannels(*service, {}, names, s);
  EXPECT_TRUE(service->channels().names().empty());
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
