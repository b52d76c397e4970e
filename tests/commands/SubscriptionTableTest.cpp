// The subscription table on its own: leases, merging of renewed names, block times.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "commands/Channel.h"
#include "commands/SubscribeCommand.h"
#include "commands/SubscriptionTable.h"
#include "support/ServiceHarness.h"

namespace {

using namespace ormanta;
using namespace ormanta::plugins::TulService;

class SubscriptionTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<host::AttributeSpec> attributes;
    for (const char* name : {"A", "B", "C", "D"}) attributes.push_back({name, data::NativeType::kInt});
    harness.model().addElement({"E", "", {}, attributes});
    service = harness.create("{\"serviceName\":\"S\"}");
  }
  void TearDown() override { table().clear(); }

  SubscriptionTable& table() { return service->subscriptionTable; }
  std::vector<std::string> channels() {
    std::lock_guard lock(service->channelMutex);
    std::vector<std::string> names;
    for (const auto& [name, channel] : service->channelMap) names.push_back(name);
    std::sort(names.begin(), names.end());
    return names;
  }

  tul::test::ServiceHarness harness;
  std::shared_ptr<Service> service;
};

TEST_F(SubscriptionTableTest, RenewalMergesNamesIntoTheNewSortedList) {
  table().addOrUpdate("p", 500, 20000, {"S.E.C", "S.E.A", "S.E.B"});
  EXPECT_EQ(table().find("p")->names, (std::vector<std::string>{"S.E.A", "S.E.B", "S.E.C"}));
  EXPECT_EQ(channels(), (std::vector<std::string>{"S.E.A", "S.E.B", "S.E.C"}));
  table().addOrUpdate("p", 500, 20000, {"S.E.D", "S.E.B"});
  EXPECT_EQ(table().find("p")->names, (std::vector<std::string>{"S.E.B", "S.E.D"}));
  EXPECT_EQ(channels(), (std::vector<std::string>{"S.E.B", "S.E.D"}));
  table().addOrUpdate("p", 500, 20000, {});
  EXPECT_EQ(table().find("p"), nullptr);
  EXPECT_TRUE(channels().empty());
}

TEST_F(SubscriptionTableTest, MemberNamedTwiceStaysSubscribedAfterRenewalWithItOnce) {
  table().addOrUpdate("p", 500, 20000, {"S.E.A", "S.E.A"});
  table().addOrUpdate("p", 500, 20000, {"S.E.A"});
  EXPECT_EQ(table().find("p")->names, std::vector<std::string>{"S.E.A"});
  ASSERT_EQ(channels(), std::vector<std::string>{"S.E.A"});
  // The channel still counts the subscription: ending it removes the channel.
  table().addOrUpdate("p", 500, 20000, {});
  EXPECT_TRUE(channels().empty());
}

TEST_F(SubscriptionTableTest, BlockTimeFollowsTheNextExpiryPlusOneMillisecond) {
  EXPECT_EQ(table().purgeExpired(20000), 20000);
  table().addOrUpdate("soon", 500, 3400, {"S.E.A"});
  table().addOrUpdate("later", 500, 10000, {"S.E.B"});
  const std::int64_t block = table().purgeExpired(20000);
  EXPECT_LE(block, 3401);
  EXPECT_GE(block, 3300);
  table().addOrUpdate("gone", 500, -1, {"S.E.C"});  // already expired
  table().purgeExpired(20000);
  EXPECT_EQ(table().find("gone"), nullptr);
  EXPECT_EQ(channels(), (std::vector<std::string>{"S.E.A", "S.E.B"}));
  table().clear();
  EXPECT_EQ(table().size(), 0u);
  EXPECT_TRUE(channels().empty());
}

TEST_F(SubscriptionTableTest, HugeLifetimesDoNotOverflow) {
  table().addOrUpdate("forever", 500, std::numeric_limits<std::int64_t>::max(), {"S.E.A"});
  EXPECT_EQ(table().purgeExpired(20000), 20000);
  EXPECT_NE(table().find("forever"), nullptr);
}

// One peer's huge subscribe must neither take long itself nor hold up publishing meanwhile (the
// data worker and the host's change callbacks need channelMutex).
TEST_F(SubscriptionTableTest, OnePeersHugeSubscribeCannotStallTheOthers) {
  using Clock = std::chrono::steady_clock;
  std::vector<std::string> names;
  std::vector<std::string> renewed;
  for (int i = 0; i < 100'000; ++i) {
    names.push_back("S.area.unit.device.n" + std::to_string(i));
    renewed.push_back("S.area.unit.device.n" + std::to_string(i + 50'000));
  }
  names.push_back("S." + std::string(1 << 20, '.'));  // a 1 MiB name, all dots
  names.push_back("S.E.A");

  std::atomic<bool> done{false};
  Clock::duration longestWait{};
  std::thread probe([&] {
    while (!done) {
      const auto start = Clock::now();
      { std::lock_guard lock(service->channelMutex); }
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
  EXPECT_TRUE(channels().empty()) << "S.E.A left with the renewal";
}

TEST(SamplingIntervalTest, ReadsALeadingSigned32BitNumberElseZero) {
  EXPECT_EQ(parseSamplingInterval("250"), 250);
  EXPECT_EQ(parseSamplingInterval("-20"), -20);
  EXPECT_EQ(parseSamplingInterval("100ms"), 100);
  EXPECT_EQ(parseSamplingInterval("abc"), 0);
  EXPECT_EQ(parseSamplingInterval(""), 0);
  EXPECT_EQ(parseSamplingInterval("+5"), 0);
  EXPECT_EQ(parseSamplingInterval("2147483647"), 2147483647);
  EXPECT_EQ(parseSamplingInterval("2147483648"), 0);
}

}  // namespace
