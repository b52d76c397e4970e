// The service on a Redis Cluster of three primaries and three replicas: its keys spread over the
// nodes, slots move under it while it publishes at full rate, and a primary dies.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "ormanta/host/Host.h"
#include "redis/ClusterClient.h"
#include "redis/KeySlot.h"
#include "redis/ServerLocator.h"
#include "support/ClusterGroup.h"
#include "support/FakeServer.h"
#include "support/RedisClient.h"
#include "support/ServiceHarness.h"
#include "support/Wait.h"

namespace tul::test {
namespace {

using namespace std::chrono_literals;
using namespace ormanta::plugins::TulService;
using Attr = ServiceAttribute;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> kElements = {"A", "B", "C", "D", "E", "F", "G", "H"};

// A peer on the cluster: the service's own cluster client, which follows redirections.
class ClusterPeer {
 public:
  explicit ClusterPeer(const std::string& seeds) {
    locator_.configure(seeds, {}, std::nullopt, true);
    locator_.refreshSlotMap(stop_);
    client_ = std::make_unique<ClusterClient>(locator_, stop_, 3s);
  }
  RedisReplyPtr command(const RedisArgs& args) { return client_->keyCommand(args); }
  std::string send(const RedisArgs& args) { return replyText(*command(args)); }
  // The response's "result" (or "error") to command id, empty while there is none.
  std::string result(const std::string& id) {
    for (const auto& entry : client_->xrevrange("S.Commands", "+", id, 1000)) {
      const auto responseId = entry.fields.find("responseId");
      if (responseId == entry.fields.end() || responseId->second.front() != id) continue;
      const auto result = entry.fields.find("result");
      return result == entry.fields.end() ? "error" : result->second.front();
    }
    return {};
  }
  std::string set(const std::string& member, const std::string& value) {
    return send({"XADD", "S.Commands", "*", "cmd", "set", "name", member, "value", value});
  }
  std::string lastValue(const std::string& member) {
    const auto entries = client_->xrevrange("SValue:" + member, "+", "-", 1);
    return entries.empty() ? "" : entries.front().fields.at("value").front();
  }

 private:
  static std::string replyText(const redisReply& reply) {
    return reply.str ? std::string(reply.str, reply.len) : "";
  }

  ormanta::utils::io::StopSource stop_;
  ServerLocator locator_;
  std::unique_ptr<ClusterClient> client_;
};

class ClusterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { cluster = new ClusterGroup(); }
  static void TearDownTestSuite() { delete cluster; }

  void SetUp() override {
    for (const std::string& key : kElements)
      harness.model().addElement({key, "", {}, {{"V", ormanta::data::NativeType::kDouble}}});
    service = harness.create(R"({"serviceName":"S","cluster":"true","address":")" + cluster->seedAddresses() +
                             R"("})");
    service->prepare();
    ASSERT_TRUE(serving());
    peer.emplace(cluster->seedAddresses());
    std::string id = peer->send(
        {"XADD",  "S.Commands", "*",     "cmd",  "subscribe", "subscriptionId", "w",     "samplingInterval",
         "0",     "name",       "S.A.V", "name", "S.B.V",     "name",           "S.C.V", "name",
         "S.D.V", "name",       "S.E.V", "name", "S.F.V"});
    ASSERT_TRUE(waitUntil([&] { return peer->result(id) == "success"; }, 3s));
  }
  void TearDown() override {
    peer.reset();
    if (service) service->cleanup();
  }
  // Up and registered, the reconnect task run every 500 ms as by the runner.
  bool serving(std::chrono::milliseconds timeout = 10s) {
    auto taskDue = Clock::now();
    return waitUntil(
        [&] {
          if (Clock::now() >= taskDue) ormanta::host::runTask(service->reconnectTask()), taskDue += 500ms;
          return flagAttribute(*service, Attr::kState) && flagAttribute(*service, Attr::kIsServiceRegistered);
        },
        timeout, 5ms);
  }

  static ClusterGroup* cluster;
  ServiceHarness harness;
  std::shared_ptr<Service> service;
  std::optional<ClusterPeer> peer;
};

ClusterGroup* ClusterTest::cluster = nullptr;

TEST_F(ClusterTest, KeysSpreadOverTheNodesAndValuesAndSetsReachEachOne) {
  std::set<int> nodes;
  for (const char* key : {"Services", "S.Status", "S.Commands", "S.DataTypes", "S.DataPoints"})
    nodes.insert(cluster->ownerOf(key).port());
  EXPECT_EQ(nodes.size(), 3u) << "the service's keys all landed on one node";
  EXPECT_EQ(peer->command({"HLEN", "S.DataPoints"})->integer, static_cast<long long>(kElements.size()));
  for (std::size_t i = 0; i < 6; ++i) harness.model().setValue(kElements[i], "V", 100.0 + i);
  for (std::size_t i = 0; i < 6; ++i) {
    const std::string member = "S." + kElements[i] + ".V";
    nodes.insert(cluster->ownerOf("SValue:" + member).port());
    EXPECT_TRUE(waitUntil([&] { return peer->lastValue(member) == std::to_string(100 + i); }, 3s)) << member;
  }
  const std::string id = peer->set("S.G.V", "7.5");
  EXPECT_TRUE(waitUntil([&] { return peer->result(id) == "success"; }, 3s));
  EXPECT_EQ(std::get<double>(*harness.model().readValue("G", "V")), 7.5);

  // Braces keep a service in one slot: one XREAD reads several of its value streams.
  std::shared_ptr<Service> tagged = harness.create(
      R"({"serviceName":"{P}","cluster":"true","address":")" + cluster->seedAddresses() + R"("})", "Tagged");
  tagged->prepare();
  std::swap(service, tagged);
  ASSERT_TRUE(serving());
  std::swap(service, tagged);
  peer->send({"XADD", "{P}.Commands", "*", "cmd", "subscribe", "subscriptionId", "t", "samplingInterval", "0",
              "name", "{P}.A.V", "name", "{P}.B.V"});
  harness.model().setValue("A", "V", 1.0);
  harness.model().setValue("B", "V", 2.0);
  const RedisArgs read = {"XREAD", "STREAMS", "{P}Value:{P}.A.V", "{P}Value:{P}.B.V", "0", "0"};
  EXPECT_TRUE(waitUntil([&] { return peer->command(read)->elements == 2; }, 3s))
      << "one XREAD of two value streams of a service in braces";
  tagged->cleanup();
}

TEST_F(ClusterTest, LiveReshardingLosesNoValueAndNoCommandAndTheHostSeesNoDisconnect) {
  const std::string connectedSince = peer->send({"GET", "S.Status"});
  std::atomic<bool> running{true};
  std::atomic<int> downSeen{0};
  std::atomic<long> last{0};
  std::thread pump([&] {
    for (long i = 1; running; ++i) {
      for (std::size_t e = 0; e < 6; ++e) harness.model().setValue(kElements[e], "V", static_cast<double>(i));
      last = i;
      if (!flagAttribute(*service, Attr::kDataConnectionState) ||
          !flagAttribute(*service, Attr::kCommandConnectionState))
        ++downSeen;
    }
  });
  // Stopped and joined however the test body ends.
  struct Join {
    std::atomic<bool>& running;
    std::thread& thread;
    ~Join() {
      running = false;
      if (thread.joinable()) thread.join();
    }
  } join{running, pump};
  std::vector<std::string> sets;
  // The command stream's slot and the value streams' slots go round the primaries, one at a time.
  std::vector<std::string> moved = {"S.Commands"};
  for (std::size_t e = 0; e < 6; ++e) moved.push_back("SValue:S." + kElements[e] + ".V");
  for (int round = 0; round < 2; ++round) {
    for (const std::string& key : moved) {
      sets.push_back(peer->set("S.H.V", std::to_string(sets.size())));
      RedisServer& owner = cluster->ownerOf(key);
      RedisServer* target = nullptr;
      for (std::size_t n = 0; n < cluster->size() && target == nullptr; ++n) {
        RedisServer& candidate =
            cluster->node((n + static_cast<std::size_t>(owner.port())) % cluster->size());
        if (&candidate != &owner &&
            RedisClient(candidate).str({"INFO", "replication"}).find("role:master") != std::string::npos)
          target = &candidate;
      }
      ASSERT_NE(target, nullptr);
      cluster->moveSlot(keySlot(key), *target);
      EXPECT_EQ(cluster->ownerOf(key).port(), target->port()) << key;
    }
  }
  std::this_thread::sleep_for(200ms);
  running = false;
  pump.join();
  const std::string final = std::to_string(last.load());
  for (std::size_t e = 0; e < 6; ++e) {
    const std::string member = "S." + kElements[e] + ".V";
    EXPECT_TRUE(waitUntil([&] { return peer->lastValue(member) == final; }, 3s))
        << member << " ends at " << peer->lastValue(member) << ", not " << final
        << "; data connection: " << errorAttribute(*service, Attr::kDataConnectionError).message();
  }
  for (const std::string& id : sets)
    EXPECT_TRUE(waitUntil([&] { return peer->result(id) == "success"; }, 3s)) << id;
  EXPECT_EQ(downSeen.load(), 0);
  EXPECT_EQ(peer->send({"GET", "S.Status"}).substr(0, 40), connectedSince.substr(0, 40));
}

// TRYAGAIN comes only for requests of several keys, and CLUSTERDOWN only while the cluster
// fails over: a scripted node answers them, then "ok" (or never, for the budget).
TEST(ClusterPausesTest, TryAgainAndClusterDownAreRetriedForSecondsBeforeTheFailurePath) {
  struct Case {
    std::string refusal;
    int times;
  };
  for (const Case& row :
       {Case{"-TRYAGAIN Multiple keys request during rehashing of slot", 2},
        Case{"-CLUSTERDOWN The cluster is down", 3}, Case{"-CLUSTERDOWN The cluster is down", 1000}}) {
    std::atomic<int> refused{0};
    std::atomic<int> nodePort{0};
    FakeServer node([&](FakeConnection& c) {
      const std::string port = std::to_string(nodePort.load());
      for (std::vector<std::string> request; !(request = c.readCommand(10s)).empty();) {
        const bool slots = request[0] == "CLUSTER";
        const std::string answer =
            slots                   ? "*1\r\n*3\r\n:0\r\n:16383\r\n*2\r\n$9\r\n127.0.0.1\r\n:" + port + "\r\n"
            : refused++ < row.times ? row.refusal + "\r\n"
                                    : "$2\r\nok\r\n";
        if (!c.send(answer)) return;
      }
    });
    nodePort = node.port();
    ormanta::utils::io::StopSource stop;
    ServerLocator locator;
    locator.configure(node.address(), {}, std::nullopt, true);
    locator.refreshSlotMap(stop);
    ClusterClient client(locator, stop, 3s);
    const auto start = Clock::now();
    if (row.times < 1000) {
      EXPECT_EQ(std::string(client.keyCommand({"GET", "k"})->str), "ok") << row.refusal;
      EXPECT_EQ(refused.load(), row.times + 1);
    } else {
      EXPECT_THROW(client.keyCommand({"GET", "k"}), RedisError);
      EXPECT_GE(Clock::now() - start, 3s) << "gave up before the cluster could recover";
    }
  }
}

// Last: the killed primary's replica stays the primary of its slots.
TEST_F(ClusterTest, AfterAPrimaryIsKilledTheServiceAnswersASetWithinASecondOfTheClustersRecovery) {
  RedisServer& victim = cluster->ownerOf("S.Commands");
  victim.kill();
  const auto killedAt = Clock::now();
  std::atomic<long long> clusterMs{-1};
  std::thread watch([&] {
    if (cluster->waitUntilHealthy(15s))
      clusterMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killedAt).count();
  });
  long long serviceMs = -1;
  std::optional<ClusterPeer> after;
  std::string id;
  auto taskDue = Clock::now();
  auto sentAt = Clock::now();
  waitUntil(
      [&] {
        if (Clock::now() >= taskDue) ormanta::host::runTask(service->reconnectTask()), taskDue += 500ms;
        try {
          if (!after) after.emplace(cluster->seedAddresses());
          // A set written while the command connection is down is never run late: sent again.
          if (id.empty() || Clock::now() - sentAt > 100ms)
            id = after->set("S.G.V", "9"), sentAt = Clock::now();
          if (after->result(id) != "success" || !flagAttribute(*service, Attr::kIsServiceRegistered))
            return false;
          serviceMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killedAt).count();
          return true;
        } catch (const RedisError&) {
          after.reset();  // the peer's own connection to the dead node
          return false;
        }
      },
      15s, 10ms);
  watch.join();
  ASSERT_GE(clusterMs.load(), 0) << "the cluster did not recover";
  ASSERT_GE(serviceMs, 0) << "the service did not answer: "
                          << errorAttribute(*service, Attr::kError).message();
  std::printf("cluster ok after %lld ms, service answered after %lld ms\n", clusterMs.load(), serviceMs);
  EXPECT_LE(serviceMs, clusterMs.load() + 1000);
}

}  // namespace
}  // namespace tul::test
