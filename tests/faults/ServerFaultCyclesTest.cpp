// redis-server killed and restarted empty on the same port, 50 times, under the built
// ormanta-host: every cycle the idle service reports the loss at once, stays down until the
// reconnect task asks, registers afresh before it shows itself up, and serves a peer that
// subscribes as soon as it does; and the runner's threads, descriptors and resident memory do
// not grow over the cycles.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "e2e/Processes.h"
#include "support/CommandPeer.h"
#include "support/RedisClient.h"
#include "support/RedisServer.h"
#include "support/Wait.h"

namespace tul::test {
namespace {

// A counter that changes every 20 ms keeps a subscribed data connection busy.
const std::string kCounterModel = R"({"elements":[{"key":"Plant","attributes":[
  {"name":"Count","type":"int","access":"r","value":0,"simulate":{"kind":"counter","periodMs":20}}]}]})";

struct ProcessUsage {
  long threads = 0;
  long descriptors = 0;
  long residentKiB = 0;
};

ProcessUsage usageOf(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  ProcessUsage usage;
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Threads:")) usage.threads = std::stol(line.substr(8));
    if (line.starts_with("VmRSS:")) usage.residentKiB = std::stol(line.substr(6));
  }
  usage.descriptors = std::distance(std::filesystem::directory_iterator(proc + "/fd"), {});
  return usage;
}

TEST(ServerFaultCyclesTest, FiftyKillsAndEmptyRestartsAreEachReportedAtOnceRecoveredByTheTaskAndLeakNothing) {
  constexpr int kCycles = 50;
  constexpr int kWarmUpCycles = 5;
  // From the kill to "isServiceRegistered" and "dataConnectionState" false on the runner's output.
  constexpr auto kNoticeBound = 100ms * kSanitizerSlowdown;
  TempDirectory dir;
  RedisServer redis;
  // The reconnect task runs only when asked on standard input.
  Host host(dir, dir.write("model.json", kCounterModel), {serviceConfig(redis.address(), "S")},
            {"--reconnect-every", "3600000"});
  const auto event = [](const char* name) { return [name](HostLine& l) { return l["event"] == name; }; };
  ASSERT_TRUE(host.waitFor(event("connected")));

  std::vector<ProcessUsage> usage;
  std::chrono::milliseconds slowest{0};
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    // Subscribed as soon as the service shows itself up: it has registered by then, so the
    // subscription is not lost to a registration that comes after it.
    ASSERT_TRUE(host.waitForAttributes("S", [](HostLine& l) { return l["attributes.state"] == "true"; }));
    RedisClient client(redis);
    CommandPeer peer(client, "S");
    const std::string id = peer.subscribe("watch", {"S.Plant.Count"}, "20");
    ASSERT_EQ(peer.response(id), success(id));
    ASSERT_TRUE(waitUntil([&] { return peer.values("S.Plant.Count").size() >= 2; }, 5s))
        << "a peer that subscribes again gets values";
    ASSERT_TRUE(client.hgetall("Services").contains("S")) << "registered afresh on the empty server";
    ASSERT_TRUE(client.exists("S.DataPoints"));
    usage.push_back(usageOf(host.process.pid()));

    // Killed while the data connection is idle (the subscription is cancelled first, so that
    // nothing is published): only the socket tells it the server is gone.
    ASSERT_EQ(
        peer.call({{"cmd", "subscribe"}, {"subscriptionId", "watch"}, {"samplingInterval", "0"}})["result"],
        "success");
    std::this_thread::sleep_for(50ms);
    const auto killed = std::chrono::steady_clock::now();
    redis.kill();
    std::optional<std::chrono::milliseconds> noticed;
    bool disconnected = false, down = false;
    ASSERT_TRUE(host.waitFor([&](HostLine& l) {
      disconnected = disconnected || l["event"] == "disconnected";
      if (!noticed && l["attributes.dataConnectionState"] == "false" &&
          l["attributes.isServiceRegistered"] == "false") {
        noticed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - killed);
      }
      if (l["type"] == "attributes") down = l["attributes.state"] == "false";
      return disconnected && noticed && down;
    })) << "isServiceRegistered false while the server is down";
    slowest = std::max(slowest, *noticed);
    EXPECT_LE(*noticed, kNoticeBound) << "the loss of the server was noticed late";

    redis.start();
    const auto early = host.waitFor(
        [](HostLine& l) {
          return l["event"] == "connected" || l["attributes.dataConnectionState"] == "true" ||
                 l["attributes.isServiceRegistered"] == "true";
        },
        200ms);
    EXPECT_FALSE(early) << "nothing reconnects before the reconnect task";
    RedisClient witness(redis);
    EXPECT_EQ(witness.clientCount(), 1) << "no connection of the service on the restarted server";
    host.send("reconnect");
    ASSERT_TRUE(host.waitFor(event("connected")));
  }
  RecordProperty("slowest_notice_ms", static_cast<int>(slowest.count()));
  std::printf("slowest notice of a killed server: %lld ms\n", static_cast<long long>(slowest.count()));

  const ProcessUsage& warm = usage[kWarmUpCycles];
  const ProcessUsage& last = usage.back();
  std::string series;
  for (const ProcessUsage& u : usage) series += " " + std::to_string(u.residentKiB);
  RecordProperty("resident_kib", series);
  EXPECT_EQ(last.threads, warm.threads);
  EXPECT_EQ(last.descriptors, warm.descriptors);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their allocators hold freed memory
  EXPECT_LT(last.residentKiB - warm.residentKiB, 128) << "resident KiB per cycle:" << series;
#endif
  std::printf("threads %ld -> %ld, descriptors %ld -> %ld, resident %ld -> %ld KiB\n", warm.threads,
              last.threads, warm.descriptors, last.descriptors, warm.residentKiB, last.residentKiB);
}

}  // namespace
}  // namespace tul::test
