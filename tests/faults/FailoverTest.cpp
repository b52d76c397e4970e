// The service behind Sentinel: it leaves a demoted primary before its writes are lost, and fails
// clearly when the sentinels name no primary. (A killed primary: tests/e2e.)

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "ormanta/host/Host.h"
#include "support/CommandPeer.h"
#include "support/FakeServer.h"
#include "support/SentinelGroup.h"
#include "support/ServiceHarness.h"
#include "support/Wait.h"

namespace tul::test {
namespace {

using namespace std::chrono_literals;
using Attr = ormanta::plugins::TulService::ServiceAttribute;
using Clock = std::chrono::steady_clock;

// A sentinel that answers every request with the address named ("": a master it does not know),
// or with the reply fixed. The service's watch of it fails and is retried: harmless here.
class FakeSentinel {
 public:
  explicit FakeSentinel(std::string named, std::string fixed = {})
      : named_(std::move(named)),
        fixed_(std::move(fixed)),
        server_([this](FakeConnection& c) { serve(c); }) {}
  std::string address() const { return server_.address(); }

 private:
  static std::string bulk(const std::string& text) {
    return "$" + std::to_string(text.size()) + "\r\n" + text + "\r\n";
  }
  void serve(FakeConnection& connection) {
    for (std::vector<std::string> request; !(request = connection.readCommand(10s)).empty();) {
      std::string answer = fixed_;
      if (answer.empty()) {
        const std::size_t colon = named_.rfind(':');
        answer = named_.empty() ? "*-1\r\n"
                                : "*2\r\n" + bulk(named_.substr(0, colon)) + bulk(named_.substr(colon + 1));
      }
      if (!connection.send(answer)) return;
    }
  }

  const std::string named_;
  const std::string fixed_;
  FakeServer server_;
};

class FailoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    harness.model().addElement({"Boiler", "", {}, {{"Temp", ormanta::data::NativeType::kDouble}}});
  }
  void start(const std::string& sentinels) {
    service =
        harness.create(R"({"serviceName":"S","sentinels":")" + sentinels + R"(","sentinelMaster":"m"})");
    service->dataHandler()->maxWaitMs = 8000;  // no status refresh while a test looks
    service->prepare();
  }
  // Up and registered on address, the reconnect task run every 500 ms as by the runner.
  bool servesOn(const std::string& address) {
    auto taskDue = Clock::now();
    return waitUntil(
        [&] {
          if (Clock::now() >= taskDue) ormanta::host::runTask(service->reconnectTask()), taskDue += 500ms;
          return flagAttribute(*service, Attr::kState) &&
                 flagAttribute(*service, Attr::kIsServiceRegistered) &&
                 std::get<std::string>(readAttribute(*service, Attr::kPrimaryAddress)) == address;
        },
        5s);
  }
  void TearDown() override {
    if (service) service->cleanup();
  }

  ServiceHarness harness;
  std::shared_ptr<Service> service;
};

TEST_F(FailoverTest, AfterAPlannedFailoverNoValueLandsOnTheOldPrimaryOnceItIsAnnounced) {
  SentinelGroup group;
  RedisServer& old = group.primary();
  start(group.sentinelAddresses());
  ASSERT_TRUE(servesOn(old.address()));
  RedisClient peer(old);
  CommandPeer commands(peer, "S");
  const std::string id = commands.subscribe("w", {"S.Boiler.Temp"});
  ASSERT_EQ(commands.response(id), success(id));
  std::atomic<bool> pumping{true};
  std::thread pump([&] {
    for (int i = 0; pumping; ++i, std::this_thread::sleep_for(2ms))
      harness.model().setValue("Boiler", "Temp", i);
  });

  RedisClient listener("127.0.0.1", group.sentinelPort(1));
  listener.command({"SUBSCRIBE", "+switch-master"});
  group.failover();
  const ReplyPtr announcement = listener.nextReply();
  const auto announcedAt = std::chrono::system_clock::now().time_since_epoch();
  const std::optional<std::string> next = group.waitForNewPrimary(old.address(), 1s);
  const bool served = next && servesOn(*next);
  pumping = false;
  pump.join();
  ASSERT_TRUE(announcement && announcement->type == REDIS_REPLY_ARRAY) << "no +switch-master";
  ASSERT_TRUE(served);
  // The old primary still takes writes (it is made a replica about 10 s later): none came.
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(announcedAt).count();
  EXPECT_EQ(peer.xrange("SValue:S.Boiler.Temp", std::to_string(ms)).size(), 0u);
}

TEST_F(FailoverTest, ADemotedPrimaryIsLeftAtItsUnblockedReplyNotAtTheNextWrite) {
  RedisServer a, b;
  std::optional<FakeSentinel> first(std::in_place, a.address());
  FakeSentinel second(b.address());
  start(first->address() + "," + second.address());
  ASSERT_TRUE(servesOn(a.address()));
  first.reset();  // from now on the sentinels name b
  RedisClient(a).str({"REPLICAOF", "127.0.0.1", std::to_string(b.port())});
  EXPECT_TRUE(waitUntil([&] { return !flagAttribute(*service, Attr::kDataConnectionState); }, 1s));
  EXPECT_TRUE(servesOn(b.address()));
}

TEST_F(FailoverTest, WithoutAPrimaryFromTheSentinelsTheErrorSaysWhyAndCleanupIsQuick) {
  RedisServer primary;
  RedisServer replica({"--replicaof", "127.0.0.1", std::to_string(primary.port())});
  FakeSentinel unknown(""), locked("", "-NOAUTH Authentication required.\r\n"), dead("127.0.0.1:1"),
      naming(replica.address());
  const std::pair<std::string, std::string> cases[] = {
      {"127.0.0.1:1,127.0.0.1:2",
       "no sentinel named a primary for \"m\": 127.0.0.1:1: failed to connect to the Redis database"},
      {unknown.address(), "knows no master named \"m\""},
      {locked.address(), "NOAUTH Authentication required."},
      {dead.address(), "failed to connect to 127.0.0.1:1, the primary the sentinels name for \"m\""},
      {naming.address(),
       "the sentinels name " + replica.address() + " as the primary of \"m\", but its role is slave"},
  };
  for (const auto& [sentinels, error] : cases) {
    start(sentinels);
    const auto shown = [&] { return errorAttribute(*service, Attr::kDataConnectionError).message(); };
    EXPECT_TRUE(waitUntil([&] { return shown().find(error) != std::string::npos; }, 5s)) << shown();
    // Cleanup in the middle of the next attempt.
    ormanta::host::runTask(service->reconnectTask());
    std::this_thread::sleep_for(50ms);
    const auto began = Clock::now();
    service->cleanup();
    EXPECT_LT(Clock::now() - began, 200ms * kSanitizerSlowdown) << sentinels;
    service.reset();
  }
}

}  // namespace
}  // namespace tul::test
