// Figure 1c: publishing to a Redis Cluster, against redis-benchmark --cluster on the same nodes.

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "Figures.h"
#include "Live.h"
#include "Measure.h"
#include "RedisTools.h"
#include "Report.h"
#include "commands/SubscriptionTable.h"
#include "ormanta/utils/io/StopSource.h"
#include "publishing/Channel.h"
#include "publishing/ValuePublisher.h"
#include "redis/ClusterClient.h"
#include "redis/ServerLocator.h"
#include "support/ClusterGroup.h"

namespace tul::bench {

using namespace std::chrono_literals;
namespace tul_service = ormanta::plugins::TulService;

namespace {

// XADDs the cluster's primaries ran since the last CONFIG RESETSTAT.
long long clusterXadds(test::ClusterGroup& cluster) {
  long long calls = 0;
  for (std::size_t i = 0; i < cluster.size(); ++i) {
    test::RedisClient node(cluster.node(i));
    if (node.str({"INFO", "replication"}).find("role:master") != std::string::npos)
      calls += node.commandStats()["xadd"];
  }
  return calls;
}

void resetStats(test::ClusterGroup& cluster) {
  for (std::size_t i = 0; i < cluster.size(); ++i)
    test::RedisClient(cluster.node(i)).str({"CONFIG", "RESETSTAT"});
}

}  // namespace

void clusterPublishingThroughput(int members) {
  constexpr int kTurns = 2;
  constexpr double kWindowSeconds = 2.5;
  test::ClusterGroup cluster;
  const ServerAddress seed{"127.0.0.1", cluster.node(0).port()};
  // redis-benchmark sends each client's requests to one primary ("{tag}" becomes a hash tag of a
  // slot there): one client per primary, so that its streams spread over the nodes as ours do.
  const std::string batch = std::to_string(members);
  auto runAnchor = [&](int requests) {
    return redisBenchmarkCommand(
               seed,
               {"--cluster", "-n", std::to_string(requests), "-c", "3", "-P", "1000", "-r", batch, "xadd",
                "SValue:{tag}S.E__rand_int__.A", "MAXLEN", "~", "100", "*", "value", "12.5"},
               120s)
        .requestsPerSecond;
  };
  runAnchor(2 * members);

  // The data worker's part in this thread: every member changes, then one publishing pass.
  test::ServiceHarness harness;
  addElements(harness.model(), members);
  auto service = harness.create(R"({"serviceName":"S","cluster":"true","address":")" +
                                cluster.seedAddresses() + R"("})");
  const std::vector<std::string> names = memberPaths(members);
  tul_service::Subscription subscription(*service);
  subscription.samplingInterval = 0;
  tul_service::updateChannels(*service, names, {}, subscription);
  ormanta::utils::io::StopSource stop;
  tul_service::ServerLocator locator;
  locator.configure(cluster.seedAddresses(), {}, std::nullopt, true);
  locator.refreshSlotMap(stop);
  tul_service::ClusterClient client(locator, stop, 3s);
  tul_service::ValuePublisher publisher(client, *service);
  std::vector<std::shared_ptr<tul_service::Channel>> channels;
  for (const std::string& name : names) channels.push_back(service->channels().find(name));

  double best = 0, bestAnchor = 0, cpuNs = 0;
  long long values = 0;
  for (int turn = 0; turn < kTurns; ++turn) {
    resetStats(cluster);
    const auto start = Clock::now();
    const std::int64_t cpu0 = threadCpuNs();
    while (secondsSince(start) < kWindowSeconds) {
      for (const auto& channel : channels) channel->onChange();
      for (const auto& channel : channels) channel->afterChanges();
      service->channels().drainSignal();
      publisher.publishPass(3000);
    }
    const double seconds = secondsSince(start);
    cpuNs += static_cast<double>(threadCpuNs() - cpu0);
    const long long landed = clusterXadds(cluster);
    values += landed;
    best = std::max(best, static_cast<double>(landed) / seconds);
    note("{} members on 3 primaries, turn {}: {} values in {:.2f} s", members, turn + 1, landed, seconds);
    const double anchor = runAnchor(std::max(4 * members, 400'000));
    note("anchor, turn {}: {} XADD/s", turn + 1, grouped(anchor));
    bestAnchor = std::max(bestAnchor, anchor);
  }
  tul_service::updateChannels(*service, {}, names, subscription);
  const double ratio = best / bestAnchor;
  printRow({fmt::format("1c. Publishing on a cluster, {} members changing", grouped(members)),
            fmt::format("{} XADD/s; CPU {:.2f} µs/value (changes included)", grouped(best),
                        values > 0 ? cpuNs / 1000 / static_cast<double>(values) : 0),
            fmt::format("{} XADD/s (redis-benchmark --cluster -c 3 -P 1000)", grouped(bestAnchor)), ratio,
            "≥ 0.9", ratio >= 0.9});
}

}  // namespace tul::bench
