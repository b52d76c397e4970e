// The subscription table on its own: leases, merging of renewed names, block times.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "commands/SubscribeCommand.h"
#include "commands/SubscriptionTable.h"
#include "support/UnitFixtures.h"

namespace {

using namespace ormanta::plugins::TulService;
using Names = std::vector<std::string>;

class SubscriptionTableTest : public tul::test::BoilerServiceTest {
 protected:
  void TearDown() override { table().clear(); }
  SubscriptionTable& table() { return service->subscriptionTable(); }
};

TEST_F(SubscriptionTableTest, RenewalMergesNamesIntoTheNewSortedListAndNoNamesEndTheLease) {
  table().addOrUpdate("p", 500, 20000, {"S.Boiler.Temp", "S.Boiler.Count", "S.Boiler.On"});
  EXPECT_EQ(table().find("p")->names, (Names{"S.Boiler.Count", "S.Boiler.On", "S.Boiler.Temp"}));
  EXPECT_EQ(service->channels().names(), (Names{"S.Boiler.Count", "S.Boiler.On", "S.Boiler.Temp"}));
  table().addOrUpdate("p", 500, 20000, {"S.Boiler.Label", "S.Boiler.On"});
  EXPECT_EQ(table().find("p")->names, (Names{"S.Boiler.Label", "S.Boiler.On"}));
  EXPECT_EQ(service->channels().names(), (Names{"S.Boiler.Label", "S.Boiler.On"}));
  // A member named twice stays subscribed after a renewal that names it once.
  table().addOrUpdate("q", 500, 20000, {"S.Boiler.Count", "S.Boiler.Count"});
  table().addOrUpdate("q", 500, 20000, {"S.Boiler.Count"});
  EXPECT_EQ(table().find("q")->names, Names{"S.Boiler.Count"});
  EXPECT_EQ(service->channels().names(), (Names{"S.Boiler.Count", "S.Boiler.Label", "S.Boiler.On"}));
  table().addOrUpdate("p", 500, 20000, {});
  table().addOrUpdate("q", 500, 20000, {});
  EXPECT_EQ(table().find("p"), nullptr);
  EXPECT_TRUE(service->channels().names().empty()) << "each channel counts its subscriptions right";
}

TEST_F(SubscriptionTableTest, BlockTimeFollowsTheNextExpiryPlusOneMillisecondAndHugeLifetimesDoNotOverflow) {
  EXPECT_EQ(table().purgeExpired(20000), 20000);
  table().addOrUpdate("forever", 500, std::numeric_limits<std::int64_t>::max(), {"S.Boiler.Label"});
  EXPECT_EQ(table().purgeExpired(20000), 20000);
  table().addOrUpdate("soon", 500, 3400, {"S.Boiler.On"});
  table().addOrUpdate("later", 500, 10000, {"S.Boiler.Count"});
  const std::int64_t block = table().purgeExpired(20000);
  EXPECT_LE(block, 3401);
  EXPECT_GE(block, 3300);
  table().addOrUpdate("gone", 500, -1, {"S.Boiler.Temp"});  // already expired
  table().purgeExpired(20000);
  EXPECT_EQ(table().find("gone"), nullptr);
  EXPECT_NE(table().find("forever"), nullptr);
  EXPECT_EQ(service->channels().names(), (Names{"S.Boiler.Count", "S.Boiler.Label", "S.Boiler.On"}));
  table().clear();
  EXPECT_EQ(table().size(), 0u);
  EXPECT_TRUE(service->channels().names().empty());
}

// One peer's huge subscribe must neither take long itself nor hold up publishing meanwhile (the
// data worker and the host's change callbacks need the channels' lock).
TEST_F(SubscriptionTableTest, OnePeersHugeSubscribeCannotStallTheOthers) {
  using Clock = std::chrono::steady_clock;
  std::vector<std::string> names;
  std::vector<std::string> renewed;
  for (int i = 0; i < 100'000; ++i) {
    names.push_back("S.area.unit.device.n" + std::to_string(i));
    renewed.push_back("S.area.unit.device.n" + std::to_string(i + 50'000));
  }
  names.push_back("S." + std::string(1 << 20, '.'));  // a 1 MiB name, all dots
  names.push_back("S.Boiler.On");

  std::atomic<bool> done{false};
  Clock::duration longestWait{};
  std::thread probe([&] {
    while (!done) {
      const auto start = Clock::now();
      (void)service->channels().find("S.Boiler.On");  // takes the channels' lock
      longestWait = std::max(longestWait, Clock::now() - start);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  auto start = Clock::now();
  table().addOrUpdate("big", 500, 20000, names);
  const auto subscribeTook = Clock::now() - start;
  start = Clock::now();
  table().addOrUpdate("big", 500, 20000, renewed);
  const auto renewalTook = Clock::now() - start;
  done = true;
  probe.join();

  EXPECT_LT(subscribeTook, std::chrono::seconds(1));
  EXPECT_LT(renewalTook, std::chrono::seconds(1));
  EXPECT_LT(longestWait, std::chrono::milliseconds(50));
  ASSERT_NE(table().find("big"), nullptr);
  std::sort(renewed.begin(), renewed.end());
  EXPECT_EQ(table().find("big")->names, renewed);
  EXPECT_TRUE(service->channels().names().empty()) << "S.Boiler.On left with the renewal";
}

TEST(SamplingIntervalTest, ReadsALeadingSigned32BitNumberElseZero) {
  const std::pair<const char*, std::int32_t> cases[] = {{"250", 250},
                                                        {"-20", -20},
                                                        {"100ms", 100},
                                                        {"abc", 0},
                                                        {"", 0},
                                                        {"+5", 0},
                                                        {"2147483647", 2147483647},
                                                        {"2147483648", 0}};
  for (const auto& [text, interval] : cases) EXPECT_EQ(parseSamplingInterval(text), interval) << text;
}

}  // namespace
