// The data worker against a private redis-server: publishing changed channels no more often
// than their intervals, keep-alive, failure handling, and the supervisor's view of it.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <thread>

#include "commands/SubscriptionTable.h"
#include "ormanta/host/Host.h"
#include "plugin/ErrorCategories.h"
#include "support/CommandPeer.h"
#include "support/UnitFixtures.h"

namespace {

using namespace std::chrono_literals;
using namespace ormanta;
using namespace ormanta::plugins::TulService;
using tul::test::waitUntil;

class DataWorkerTest : public tul::test::BoilerLiveTest {
 protected:
  // Channels go into the map through the same locked path the subscriptions use.
  void watch(const std::vector<std::string>& names, std::int64_t intervalMs = 500) {
    if (!subscription) subscription = std::make_unique<Subscription>(*service);
    subscription->samplingInterval = intervalMs;
    updateChannels(*service, names, {}, *subscription);
  }
  void TearDown() override {
    if (service && subscription) {
      updateChannels(*service, {}, service->channels().names(), *subscription);
    }
    BoilerLiveTest::TearDown();
  }

  std::unique_ptr<Subscription> subscription;
};

// The status key's refresh keeps an idle connection alive in place of the PING, and still
// goes out every maxWaitMs on a connection kept busy by a member that changes all the time.
TEST_F(DataWorkerTest, StatusKeyIsRefreshedEveryMaxWaitIdleAndBusyAndReplacesTheIdlePing) {
  std::int64_t configured = 0;
  start("S", [&](Service& s) {
    configured = s.dataHandler()->maxWaitMs;
    s.dataHandler()->maxWaitMs = 200;
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
    for (std::int64_t n = 0; !stop; std::this_thread::sleep_for(10ms)) {
      harness.model().setValue("Boiler", "Count", ++n);
    }
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

// A value stream of the wrong type costs its member only: the others go on, the connection stays
// up, the host sees the key, and the member is published again soon after the key is fixed. A
// refusal of XADD as such (here an ACL) ends the connection until the reconnect task.
TEST_F(DataWorkerTest, ARefusedValueStreamCostsItsMemberAndARefusedXaddTheConnection) {
  start();
  tul::test::CommandPeer values(*peer, "S");
  peer->str({"SET", "SValue:S.Boiler.Temp", "not a stream"});
  watch({"S.Boiler.Temp", "S.Boiler.Count"}, 0);
  const auto publishingError = [&] {
    return tul::test::errorAttribute(*service, Attr::kPublishingError).message();
  };
  ASSERT_TRUE(waitUntil([&] { return publishingError().find("WRONGTYPE") != std::string::npos; }, 2s));
  EXPECT_EQ(publishingError(),
            "value stream SValue:S.Boiler.Temp refused: WRONGTYPE Operation against a key "
            "holding the wrong kind of value");
  harness.model().setValue("Boiler", "Count", std::int64_t{7});
  EXPECT_TRUE(values.lastValueIs("S.Boiler.Count", "7", 2s)) << "the other members go on";
  EXPECT_TRUE(tul::test::flagAttribute(*service, Attr::kState));
  EXPECT_EQ(service->disconnectedEvent().raiseCount(), 0u);
  peer->command({"DEL", "SValue:S.Boiler.Temp"});
  EXPECT_TRUE(values.lastValueIs("S.Boiler.Temp", "20.5", 4s)) << "tried again once the key is fixed";
  EXPECT_TRUE(waitUntil([&] { return publishingError() == "no error"; }, 1s)) << publishingError();

  peer->str({"ACL", "SETUSER", "default", "-xadd"});
  harness.model().setValue("Boiler", "Temp", 25.0);
  ASSERT_TRUE(waitFor(Attr::kDataConnectionState, false));
  peer->str({"ACL", "SETUSER", "default", "+xadd"});
  const std::error_code error = tul::test::errorAttribute(*service, Attr::kDataConnectionError);
  EXPECT_NE(error.message().find("NOPERM"), std::string::npos) << error.message();
  EXPECT_EQ(service->dataHandler()->phase, kPhaseIdle);
  EXPECT_TRUE(waitFor(Attr::kCommandConnectionState, false));
  EXPECT_FALSE(tul::test::flagAttribute(*service, Attr::kState));
  // Without its data connection the service does not count as registered.
  EXPECT_FALSE(tul::test::flagAttribute(*service, Attr::kIsServiceRegistered));
  EXPECT_EQ(tul::test::errorAttribute(*service, Attr::kServiceRegistrationError),
            registrationError(RegistrationErrorCategory::kPending));

  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(service->dataHandler()->phase, kPhaseIdle);  // no reconnect of its own
  host::runTask(service->reconnectTask());
  EXPECT_TRUE(waitFor(Attr::kState, true));
  EXPECT_TRUE(waitFor(Attr::kIsServiceRegistered, true)) << "only a completed new run registers it again";
  EXPECT_EQ(tul::test::errorAttribute(*service, Attr::kDataConnectionError), connectionError(0));
  // The channel was marked sampled before the failing XADD; it is published again on its next change.
  harness.model().setValue("Boiler", "Temp", 30.0);
  EXPECT_TRUE(values.lastValueIs("S.Boiler.Temp", "30", 2s));
}

// What peers learn from "S.Status": it comes with the connection and shows the completed
// registration; after a failure nobody refreshes it, so it expires as after a crash; a new
// connection shows a new time; a clean stop deletes it before cleanup returns, and a frozen
// server cannot hold the stop up for longer than the delete's bound.
TEST_F(DataWorkerTest, StatusKeyFollowsTheConnectionIsDeletedOnStopAndExpiresAfterAFailure) {
  const auto quick = [](Service& s) { s.dataHandler()->maxWaitMs = 200; };
  start("S", quick);
  const std::string iso = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{7}Z)";
  const std::regex shape(R"(\{"connectedSince":")" + ("(" + iso + ")") + R"(","registeredAt":(null|")" + iso +
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

  peer->str({"ACL", "SETUSER", "default", "-xadd"});
  watch({"S.Boiler.Temp"});
  ASSERT_TRUE(waitFor(Attr::kDataConnectionState, false));
  peer->str({"ACL", "SETUSER", "default", "+xadd"});
  const long long ttl = peer->integer({"PTTL", "S.Status"});
  std::this_thread::sleep_for(500ms);
  EXPECT_GT(ttl, 0) << "a failure leaves the key to expire";
  EXPECT_LT(peer->integer({"PTTL", "S.Status"}), ttl - 300) << "and nobody refreshes it";

  host::runTask(service->reconnectTask());
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

// The supervisor alone, with the connection mirrors driven by the test: each row sets both and
// expects the general code and state it publishes, and the events raised so far.
TEST(SupervisorTest, FoldsBothConnectionsIntoTheGeneralCodeAndRaisesAnEventOnlyOnAChange) {
  tul::test::ServiceHarness harness;
  auto service = harness.create("{}");
  std::atomic<int> connected{0}, disconnected{0};
  service->connectedEvent().addObserver([&](utils::chrono::TimePoint) { ++connected; });
  service->disconnectedEvent().addObserver([&](utils::chrono::TimePoint) { ++disconnected; });
  service->supervisor()->start();
  struct Row {
    std::error_code data, command;  // value 0 of the system category: never been up
    int code, connectedEvents, disconnectedEvents;
    int commandOutages = 0;  // outages of the command connection over before the supervisor looks
  };
  const auto up = connectionError(0), down = connectionError(1);
  const auto reset = make_error_code(std::errc::connection_reset);
  const Row rows[] = {{{}, {}, 3, 0, 0}, {up, {}, 2, 0, 0},    {down, up, 1, 0, 0}, {up, up, 0, 1, 0},
                      {up, up, 0, 1, 0}, {up, reset, 2, 1, 1}, {up, up, 0, 2, 1},   {up, up, 0, 3, 2, 1}};
  for (const Row& row : rows) {
    service->dataHandler()->setLastError(row.data);
    service->dataHandler()->connected = row.data == up;
    service->commandHandler()->setLastError(row.command);
    service->commandHandler()->connected = row.command == up;
    service->commandHandler()->outages += static_cast<std::uint64_t>(row.commandOutages);
    const auto commits = service->supervisor()->state.commitCount();
    service->supervisor()->wakeup.notify_all();
    EXPECT_TRUE(waitUntil(
        [&] {
          return service->supervisor()->state.commitCount() > commits && connected == row.connectedEvents &&
                 disconnected == row.disconnectedEvents &&
                 tul::test::errorAttribute(*service, ServiceAttribute::kError) ==
                     generalConnectionError(row.code);
        },
        2s))
        << row.code << ": " << connected << " connected, " << disconnected << " disconnected";
    EXPECT_EQ(tul::test::flagAttribute(*service, ServiceAttribute::kState), row.code == 0);
  }
  service->supervisor()->stop();
}

}  // namespace
