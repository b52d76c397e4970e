// The data worker against a private redis-server: publishing changed channels no more often
// than their intervals, keep-alive, failure handling, and the supervisor's view of it.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "commands/Channel.h"
#include "commands/SubscriptionTable.h"
#include "ormanta/host/Host.h"
#include "plugin/ErrorCategories.h"
#include "support/LiveService.h"

namespace {

using namespace std::chrono_literals;
using namespace ormanta;
using namespace ormanta::plugins::TulService;
using tul::test::LiveServiceTest;
using tul::test::waitUntil;

std::int64_t entryMillis(const std::string& id) { return std::stoll(id.substr(0, id.find('-'))); }

class DataWorkerTest : public LiveServiceTest {
 protected:
  void SetUp() override {
    harness.model().addElement({"Boiler", "", {}, {{"Temp", data::NativeType::kDouble, model::kAccessRead, 64, 20.5},
                                                   {"Count", data::NativeType::kInt},
                                                   {"Secret", data::NativeType::kInt, model::kAccessWrite}}});
  }

  // Channels go into the map through the same locked path the subscriptions use.
  void watch(const std::vector<std::string>& names, std::int64_t intervalMs = 500) {
    if (!subscription) subscription = std::make_unique<Subscription>(*service);
    subscription->samplingInterval = intervalMs;
    updateChannels(*service, names, {}, *subscription);
  }
  void TearDown() override {
    if (service && subscription) {
      std::vector<std::string> names;
      {
        std::lock_guard lock(service->channelMutex);
        for (const auto& [name, channel] : service->channelMap) names.push_back(name);
      }
      updateChannels(*service, {}, names, *subscription);
    }
    LiveServiceTest::TearDown();
  }

  std::vector<std::string> values(const std::string& member) {
    std::vector<std::string> result;
    for (const auto& entry : peer->xrange("SValue:" + member)) result.push_back(entry.fields.at(0).second);
    return result;
  }

  std::unique_ptr<Subscription> subscription;
};

TEST_F(DataWorkerTest, AttachedChannelIsPublishedAtTheNextPass) {
  start();
  watch({"S.Boiler.Temp"});
  ASSERT_TRUE(waitUntil([&] { return peer->xlen("SValue:S.Boiler.Temp") == 1; }, 2s));
  const auto entries = peer->xrange("SValue:S.Boiler.Temp");
  ASSERT_EQ(entries[0].fields.size(), 1u);
  EXPECT_EQ(entries[0].fields[0], (std::pair<std::string, std::string>("value", "20.5")));
}

TEST_F(DataWorkerTest, FastChangingMemberIsPublishedAtItsIntervalWithTheCurrentValue) {
  start();
  watch({"S.Boiler.Count"}, 500);
  std::atomic<bool> stop{false};
  std::atomic<std::int64_t> counter{0};
  std::jthread changer([&] {
    while (!stop) {
      harness.model().setValue("Boiler", "Count", ++counter);
      std::this_thread::sleep_for(100ms);
    }
  });
  std::this_thread::sleep_for(2600ms);
  stop = true;
  changer.join();

  const auto entries = peer->xrange("SValue:S.Boiler.Count");
  ASSERT_GE(entries.size(), 4u);
  ASSERT_LE(entries.size(), 7u);
  for (std::size_t i = 1; i < entries.size(); ++i) {
    EXPECT_GE(entryMillis(entries[i].id) - entryMillis(entries[i - 1].id), 450) << "entry " << i;
    // Each sample carries the value current at its pass: it skips the values in between.
    EXPECT_GT(std::stoll(entries[i].fields[0].second), std::stoll(entries[i - 1].fields[0].second) + 1);
  }
}

// The status key's refresh keeps an idle connection alive in place of the PING, and still
// goes out every maxWaitMs on a connection kept busy by a member that changes all the time.
TEST_F(DataWorkerTest, StatusKeyIsRefreshedEveryMaxWaitIdleAndBusyAndReplacesTheIdlePing) {
  std::int64_t configured = 0;
  start("S", [&](Service& s) {
    configured = s.dataHandler->maxWaitMs;
    s.dataHandler->maxWaitMs = 200;
  });
  EXPECT_EQ(configured, 3000);  // the real refresh period
  peer->command({"CONFIG", "RESETSTAT"});
  std::this_thread::sleep_for(1100ms);
  auto stats = peer->commandStats();
  EXPECT_GE(stats["set"], 4);
  EXPECT_LE(stats["set"], 7);
  EXPECT_EQ(stats["ping"], 0) << "the refresh is the idle round's keep-alive";

  watch({"S.Boiler.Count"}, 0);
  std::atomic<bool> stop{false};
  std::jthread changer([&] {
    for (std::int64_t n = 0; !stop; std::this_thread::sleep_for(10ms)) harness.model().setValue("Boiler", "Count", ++n);
  });
  std::this_thread::sleep_for(200ms);
  peer->command({"CONFIG", "RESETSTAT"});
  std::this_thread::sleep_for(1100ms);
  stop = true;
  changer.join();
  stats = peer->commandStats();
  EXPECT_GE(stats["xadd"], 20) << "the connection was busy";
  EXPECT_GE(stats["set"], 4) << "a busy connection refreshes the key with its passes";
  EXPECT_GT(peer->integer({"PTTL", "S.Status"}), 9000);
}

TEST_F(DataWorkerTest, UnreadableValueStaysChangedAndNothingIsPublished) {
  start();
  watch({"S.Boiler.Secret", "S.Boiler.Temp"});
  ASSERT_TRUE(waitUntil([&] { return peer->xlen("SValue:S.Boiler.Temp") == 1; }, 2s));
  std::shared_ptr<Channel> secret;
  {
    std::lock_guard lock(service->channelMutex);
    secret = service->channelMap.at("S.Boiler.Secret");
  }
  EXPECT_TRUE(secret->isChanged());
  EXPECT_FALSE(peer->exists("SValue:S.Boiler.Secret"));
}

TEST_F(DataWorkerTest, XaddErrorRecordsTheErrorStopsTheCommandConnectionAndWaitsForReconnect) {
  start();
  peer->str({"SET", "SValue:S.Boiler.Temp", "not a stream"});
  watch({"S.Boiler.Temp"});
  ASSERT_TRUE(waitFor(Attr::kDataConnectionState, false));
  const std::error_code error = tul::test::errorAttribute(*service, Attr::kDataConnectionError);
  EXPECT_NE(error.message().find("WRONGTYPE"), std::string::npos) << error.message();
  EXPECT_EQ(service->dataHandler->phase, kPhaseIdle);
  EXPECT_TRUE(waitFor(Attr::kCommandConnectionState, false));
  EXPECT_FALSE(tul::test::flagAttribute(*service, Attr::kState));
  // Without its data connection the service does not count as registered.
  EXPECT_TRUE(waitFor(Attr::kIsServiceRegistered, false, 1s));
  EXPECT_EQ(tul::test::errorAttribute(*service, Attr::kServiceRegistrationError),
            registrationError(RegistrationErrorCategory::kPending));

  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(service->dataHandler->phase, kPhaseIdle);  // no reconnect of its own
  peer->command({"DEL", "SValue:S.Boiler.Temp"});
  host::runTask(service->reconnectTask);
  EXPECT_TRUE(waitFor(Attr::kState, true));
  EXPECT_TRUE(waitFor(Attr::kIsServiceRegistered, true)) << "only a completed new run registers it again";
  EXPECT_EQ(tul::test::errorAttribute(*service, Attr::kDataConnectionError), connectionError(0));
  // The channel was marked sampled before the failing XADD; it is published again on its next change.
  harness.model().setValue("Boiler", "Temp", 30.0);
  ASSERT_TRUE(waitUntil([&] { return peer->exists("SValue:S.Boiler.Temp"); }, 2s));
  EXPECT_EQ(values("S.Boiler.Temp"), std::vector<std::string>{"30"});
}

// What peers learn from "S.Status": it comes with the connection and shows the completed
// registration; after a failure nobody refreshes it, so it expires as after a crash; a new
// connection shows a new time; a clean stop deletes it before cleanup returns, and a frozen
// server cannot hold the stop up for longer than the delete's bound.
TEST_F(DataWorkerTest, StatusKeyFollowsTheConnectionIsDeletedOnStopAndExpiresAfterAFailure) {
  const auto quick = [](Service& s) { s.dataHandler->maxWaitMs = 200; };
  start("S", quick);
  const std::string iso = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{7}Z)";
  const std::regex shape(std::string(R"(\{"connectedSince":")") + "(" + iso + ")" + R"(","registeredAt":(null|")" + iso +
                         R"(")\})");
  std::smatch parts;
  std::string text;
  const auto registeredStatus = [&] {
    text = peer->exists("S.Status") ? peer->str({"GET", "S.Status"}) : "";
    return std::regex_match(text, parts, shape) && parts[2] != "null";
  };
  ASSERT_TRUE(waitUntil(registeredStatus, 1s)) << "shown at once after the run: " << text;
  const std::string connectedSince = parts[1];
  EXPECT_GE(parts[2].str(), "\"" + connectedSince);
  EXPECT_GT(peer->integer({"PTTL", "S.Status"}), 9000);

  peer->str({"SET", "SValue:S.Boiler.Temp", "not a stream"});
  watch({"S.Boiler.Temp"});
  ASSERT_TRUE(waitFor(Attr::kDataConnectionState, false));
  const long long ttl = peer->integer({"PTTL", "S.Status"});
  std::this_thread::sleep_for(500ms);
  EXPECT_GT(ttl, 0) << "a failure leaves the key to expire";
  EXPECT_LT(peer->integer({"PTTL", "S.Status"}), ttl - 300) << "and nobody refreshes it";

  peer->command({"DEL", "SValue:S.Boiler.Temp"});
  host::runTask(service->reconnectTask);
  ASSERT_TRUE(waitUntil([&] { return registeredStatus() && parts[1] != connectedSince; }, 5s)) << text;

  auto begin = std::chrono::steady_clock::now();
  service->cleanup();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 200ms);
  EXPECT_FALSE(peer->exists("S.Status")) << "deleted before cleanup returned";

  service->prepare();
  ASSERT_TRUE(waitUntil(registeredStatus, 5s)) << text;
  server.pause();
  begin = std::chrono::steady_clock::now();
  service->cleanup();
  const auto took = std::chrono::steady_clock::now() - begin;
  server.resume();
  EXPECT_GE(took, 80ms) << "the stop gave the delete its time";
  EXPECT_LT(took, 200ms);
}

// The supervisor alone, with the connection mirrors driven by the test.
class SupervisorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service = harness.create("{}");
    service->connectedEvent.addObserver([&](utils::chrono::TimePoint) { ++connected; });
    service->disconnectedEvent.addObserver([&](utils::chrono::TimePoint) { ++disconnected; });
    service->supervisor->start();
  }
  void TearDown() override { service->supervisor->stop(); }

  void set(ConnectionHandler& handler, std::error_code code, bool up) {
    handler.setLastError(code);
    handler.connected = up;
  }
  // Wakes the supervisor and waits for its next record.
  std::pair<std::error_code, bool> publish() {
    const auto commits = service->supervisor->state.commitCount();
    service->supervisor->wakeup.notify_all();
    EXPECT_TRUE(waitUntil([&] { return service->supervisor->state.commitCount() > commits; }, 2s));
    return {tul::test::errorAttribute(*service, ServiceAttribute::kError),
            tul::test::flagAttribute(*service, ServiceAttribute::kState)};
  }

  tul::test::ServiceHarness harness;
  std::shared_ptr<Service> service;
  std::atomic<int> connected{0};
  std::atomic<int> disconnected{0};
};

TEST_F(SupervisorTest, FoldsBothConnectionsIntoTheGeneralCode) {
  const auto good = connectionError(0);
  const auto bad = connectionError(1);
  auto& command = *service->commandHandler;
  auto& data = *service->dataHandler;

  // Initial mirrors are value 0 of the system category: never been up, so bad.
  EXPECT_EQ(publish(), std::make_pair(generalConnectionError(3), false));
  set(data, good, true);
  EXPECT_EQ(publish(), std::make_pair(generalConnectionError(2), false));
  set(command, good, true);
  set(data, bad, false);
  EXPECT_EQ(publish(), std::make_pair(generalConnectionError(1), false));
  set(data, good, true);
  EXPECT_EQ(publish(), std::make_pair(generalConnectionError(0), true));
  EXPECT_EQ(connected, 1);
  EXPECT_EQ(publish(), std::make_pair(generalConnectionError(0), true));  // rewritten, no event
  EXPECT_EQ(connected, 1);
  set(command, std::make_error_code(std::errc::connection_reset), false);
  EXPECT_EQ(publish(), std::make_pair(generalConnectionError(2), false));
  EXPECT_EQ(disconnected, 1);
  EXPECT_EQ(connected, 1);
}

}  // namespace
