// Figures 1, 2, 3 and 8: the data path.

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <semaphore>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "Figures.h"
#include "Live.h"
#include "Measure.h"
#include "Report.h"
#include "commands/SubscriptionTable.h"
#include "ormanta/utils/io/StopSource.h"
#include "publishing/Channel.h"
#include "publishing/ValuePublisher.h"
#include "redis/RedisConnection.h"
#include "support/Wait.h"

namespace tul::bench {
namespace {

using namespace std::chrono_literals;
using ormanta::plugins::TulService::Channel;
using ormanta::plugins::TulService::RedisConnection;
using ormanta::plugins::TulService::Subscription;
using ormanta::plugins::TulService::ValuePublisher;

std::shared_ptr<Channel> channelOf(test::Service& service, const std::string& memberPath) {
  std::shared_ptr<Channel> channel = service.channels().find(memberPath);
  if (!channel) throw std::runtime_error("no channel for " + memberPath);
  return channel;
}

// XADD calls the server counted since the last CONFIG RESETSTAT.
long long xaddCalls(test::RedisClient& client) { return client.commandStats()["xadd"]; }

void awaitXadds(test::RedisClient& client, long long count, std::chrono::seconds timeout) {
  if (!test::waitUntil([&] { return xaddCalls(client) >= count; }, timeout, 20ms)) {
    throw std::runtime_error("the first values did not land in time");
  }
}

// A service that is not prepared: the bench thread plays the data worker with a ValuePublisher
// of its own, on channels made for a subscription of every member (interval 0).
struct DirectPublisher {
  // Members E<first>..E<first+members-1>.
  DirectPublisher(const ServerAddress& server, int members, int first = 0)
      : names(memberPaths(members, first)) {
    addElements(harness.model(), members, first);
    service = harness.create(test::serviceConfig(server.text(), "S"));
    subscription = std::make_unique<Subscription>(*service);
    subscription->samplingInterval = 0;
    ormanta::plugins::TulService::updateChannels(*service, names, {}, *subscription);
    connection = std::make_unique<RedisConnection>(server.text());
    connection->connect(stop, 3);
    publisher = std::make_unique<ValuePublisher>(*connection, *service);
    publisher->publishPass(3000);  // every new channel once
    service->channels().drainSignal();
  }
  ~DirectPublisher() {
    service->channels().drainSignal();
    publisher.reset();
    connection.reset();
    ormanta::plugins::TulService::updateChannels(*service, {}, names, *subscription);
  }

  struct Pass {
    double cpuUs;
    double allocations;      // operator new
    double heapAllocations;  // malloc, calloc, realloc: operator new's and hiredis'
  };

  // One pass after a change of member E<changing>.
  Pass measurePass(int changing, double value) {
    harness.model().setValue("E" + std::to_string(changing), "A", value);
    const std::uint64_t allocations0 = threadAllocations(), heap0 = threadHeapAllocations();
    const std::int64_t cpu0 = threadCpuNs();
    publisher->publishPass(3000);
    const std::int64_t cpu1 = threadCpuNs();
    const std::uint64_t allocations1 = threadAllocations(), heap1 = threadHeapAllocations();
    return {static_cast<double>(cpu1 - cpu0) / 1000, static_cast<double>(allocations1 - allocations0),
            static_cast<double>(heap1 - heap0)};
  }

  // The thread's CPU for one PING round trip on the same connection: the kernel's share of a
  // pass (a write and a reply read) with no work of ours around it.
  double measurePing() {
    const std::int64_t cpu0 = threadCpuNs();
    connection->ping();
    return static_cast<double>(threadCpuNs() - cpu0) / 1000;
  }

  test::ServiceHarness harness;
  std::vector<std::string> names;
  std::shared_ptr<test::Service> service;
  std::unique_ptr<Subscription> subscription;
  ormanta::utils::io::StopSource stop;
  std::unique_ptr<RedisConnection> connection;
  std::unique_ptr<ValuePublisher> publisher;
};

}  // namespace

void publishingThroughput(const ServerAddress& server, int members) {
  // Ours and the anchor take turns, kTurns each, and the best turn of each counts: the machine
  // may be shared, and a turn that others disturbed says nothing about either side.
  constexpr int kTurns = 2;
  constexpr double kWindowSeconds = 2.5;
  test::RedisClient admin(server.host, server.port);
  resetServer(admin);

  const std::string batch = std::to_string(members);
  const std::vector<std::string> xadd = {
      "-c",     "1", "-P",  batch, "-r",    batch, "xadd", "SValue:S.E__rand_int__.A",
      "MAXLEN", "~", "100", "*",   "value", "12.5"};
  auto runAnchor = [&](int requests) {
    std::vector<std::string> arguments = {"-n", std::to_string(requests)};
    arguments.insert(arguments.end(), xadd.begin(), xadd.end());
    return redisBenchmarkCommand(server, arguments, 120s).requestsPerSecond;
  };
  runAnchor(2 * members);  // its streams exist from now on, as ours will

  LiveService live(server, [&](ormanta::host::Model& model) { addElements(model, members); });
  test::RedisClient peer(server.host, server.port);
  const std::vector<std::string> names = memberPaths(members);
  subscribe(peer, "bench", 0, names, 60s);
  awaitXadds(admin, members, 60s);  // the first pass publishes every new channel

  // Every member changes in every round, notified as the host notifies a batch of changes:
  // onChange for each, then afterChanges for each. The values themselves stay: storing them in
  // the test host's model costs several µs each, which would measure the model instead. The
  // next round starts once the data worker has taken this one, so that the host spends CPU
  // only on changes that get published.
  std::vector<std::shared_ptr<Channel>> channels;
  for (const std::string& name : names) channels.push_back(channelOf(*live.service, name));
  std::atomic<bool> stop{false}, changing{false};
  std::atomic<long long> roundCount{0};
  std::thread changer([&] {
    while (!stop.load()) {
      if (!changing.load()) {
        std::this_thread::sleep_for(1ms);
        continue;
      }
      for (const auto& channel : channels) channel->onChange();
      for (const auto& channel : channels) channel->afterChanges();
      roundCount.fetch_add(1);
      while (!stop.load() && (channels.front()->isChanged() || channels.back()->isChanged())) {
        std::this_thread::sleep_for(100us);
      }
    }
  });
  struct Joiner {
    std::atomic<bool>& stop;
    std::thread& thread;
    ~Joiner() {
      stop.store(true);
      thread.join();
    }
  } joiner{stop, changer};

  double best = 0, bestAnchor = 0, pluginNs = 0;
  long long values = 0;
  for (int turn = 0; turn < kTurns; ++turn) {
    changing.store(true);
    std::this_thread::sleep_for(500ms);  // warm-up
    admin.str({"CONFIG", "RESETSTAT"});
    const long long rounds0 = roundCount.load();
    const auto start = Clock::now();
    const std::int64_t process0 = processCpuNs(), changer0 = threadCpuNs(changer.native_handle()),
                       main0 = threadCpuNs();
    std::this_thread::sleep_for(std::chrono::duration<double>(kWindowSeconds));
    const long long landed = xaddCalls(admin);
    const double seconds = secondsSince(start);
    const std::int64_t process1 = processCpuNs(), changer1 = threadCpuNs(changer.native_handle()),
                       main1 = threadCpuNs();
    changing.store(false);
    // The host thread (its changes, with the change callbacks) and the bench's main thread are
    // not the plug-in's work; the rest of the process is.
    const auto plugin = static_cast<double>((process1 - process0) - (changer1 - changer0) - (main1 - main0));
    pluginNs += plugin;
    values += landed;
    best = std::max(best, static_cast<double>(landed) / seconds);
    note(
        "{} members, turn {}: {} values in {:.2f} s over {} host rounds; CPU: plug-in {:.0f} ms, host thread "
        "{:.0f} ms",
        members, turn + 1, landed, seconds, roundCount.load() - rounds0, plugin / 1e6,
        static_cast<double>(changer1 - changer0) / 1e6);
    std::this_thread::sleep_for(300ms);  // the last pass ends
    const double anchor = runAnchor(std::max(4 * members, 400'000));
    note("anchor, turn {}: {} XADD/s", turn + 1, grouped(anchor));
    bestAnchor = std::max(bestAnchor, anchor);
  }
  admin.str({"FLUSHALL"});

  const double cpuPerValueUs = values > 0 ? pluginNs / 1000 / static_cast<double>(values) : 0;
  const double ratio = best / bestAnchor;
  printRow(
      {fmt::format("1{}. Publishing, {} members changing", members >= 100'000 ? "b" : "a", grouped(members)),
       fmt::format("{} XADD/s; plug-in CPU {:.2f} µs/value", grouped(best), cpuPerValueUs),
       fmt::format("{} XADD/s (redis-benchmark -c 1 -P {})", grouped(bestAnchor), grouped(members)), ratio,
       "≥ 1.0", ratio >= 1.0});
}

void passCost(const ServerAddress& server) {
  constexpr int kMembers = 100'000;
  constexpr int kPasses = 2000;
  test::RedisClient admin(server.host, server.port);
  resetServer(admin);
  // The same member changes in both, so that its record is alike to the byte; the passes
  // alternate, so that both see the same load of the machine.
  constexpr int kChanging = kMembers / 2;
  DirectPublisher all(server, kMembers);
  std::vector<double> cpuMany, cpuSingle, allocationsMany, allocationsSingle, heapMany, heapSingle, cpuPing;
  {
    DirectPublisher single(server, 1, kChanging);
    for (int i = 0; i < kPasses; ++i) {
      const DirectPublisher::Pass many = all.measurePass(kChanging, i + 0.5);
      cpuMany.push_back(many.cpuUs);
      allocationsMany.push_back(many.allocations);
      heapMany.push_back(many.heapAllocations);
      const DirectPublisher::Pass one = single.measurePass(kChanging, i + 0.5);
      cpuSingle.push_back(one.cpuUs);
      allocationsSingle.push_back(one.allocations);
      heapSingle.push_back(one.heapAllocations);
      cpuPing.push_back(single.measurePing());
    }
  }
  const double many = percentile(cpuMany, 0.5), one = percentile(cpuSingle, 0.5);
  const double manyAllocations = percentile(allocationsMany, 0.5),
               oneAllocations = percentile(allocationsSingle, 0.5);
  note(
      "pass, {} subscribed: median {:.1f} µs CPU (p90 {:.1f}), operator new median {} max {}, heap "
      "allocations "
      "median {}",
      kMembers, many, percentile(cpuMany, 0.9), manyAllocations, percentile(allocationsMany, 1),
      percentile(heapMany, 0.5));
  note(
      "pass, 1 subscribed: median {:.1f} µs CPU (p90 {:.1f}), operator new median {} max {}, heap "
      "allocations "
      "median {}",
      one, percentile(cpuSingle, 0.9), oneAllocations, percentile(allocationsSingle, 1),
      percentile(heapSingle, 0.5));
  // What a record of one value may take: its stream key (longer than a short string) and its
  // one-field map (a node and the bucket array), as a RedisRecord would. The pass takes none of
  // them (the key is the channel's own); a long text would take one.
  constexpr double kRecordAllocations = 3;
  printRow({"2a. Pass, 100,000 subscribed, 1 changing",
            fmt::format("{:.1f} µs CPU; {} operator new ({} heap allocations with hiredis')", many,
                        manyAllocations, percentile(heapMany, 0.5)),
            fmt::format("{:.1f} µs CPU; {} operator new (same pass, 1 subscribed; a PING round trip alone: "
                        "{:.1f} µs CPU)",
                        one, oneAllocations, percentile(cpuPing, 0.5)),
            many / one, "< 20 µs; allocations: at most one record's (3)",
            many < 20 && manyAllocations <= kRecordAllocations && manyAllocations <= oneAllocations});

  // The same channels, now served by the service's own data worker: releases of the signal
  // made while a change waits are served together.
  all.publisher.reset();
  all.connection.reset();
  all.service->channels().drainSignal();
  const std::vector<int> before = threadIds();
  all.service->prepare();
  struct Cleanup {
    test::Service& service;
    ~Cleanup() { service.cleanup(); }
  } cleanup{*all.service};
  // Up and registered: the registration worker, which walks 100,000 elements, is idle again.
  using ServiceAttribute = ormanta::plugins::TulService::ServiceAttribute;
  if (!test::waitUntil(
          [&] {
            return test::flagAttribute(*all.service, ServiceAttribute::kState) &&
                   test::flagAttribute(*all.service, ServiceAttribute::kIsServiceRegistered);
          },
          60s)) {
    throw std::runtime_error("the service did not come up and register in time");
  }
  std::this_thread::sleep_for(200ms);
  const std::shared_ptr<Channel> channel = channelOf(*all.service, all.names[kChanging]);

  // The data worker is the new thread that works when the channels signal.
  std::vector<int> workers;
  for (int id : threadIds()) {
    if (!std::binary_search(before.begin(), before.end(), id)) workers.push_back(id);
  }
  std::vector<std::int64_t> cpuBefore;
  for (int id : workers) cpuBefore.push_back(threadCpuNsById(id));
  for (int i = 0; i < 50; ++i) {
    all.harness.model().setValue("E" + std::to_string(kChanging), "A", i + 0.25);
    std::this_thread::sleep_for(2ms);
  }
  int dataWorker = 0;
  std::int64_t most = -1;
  for (std::size_t i = 0; i < workers.size(); ++i) {
    const std::int64_t used = threadCpuNsById(workers[i]) - cpuBefore[i];
    if (used > most) std::tie(most, dataWorker) = std::pair{used, workers[i]};
  }

  constexpr int kReleases = 1000;
  std::map<int, std::vector<double>> cpu;
  for (int repeat = 0; repeat < 30; ++repeat) {
    for (const int releases : {1, kReleases}) {
      std::this_thread::sleep_for(10ms);
      channel->onChange();  // queued; the releases are ours (signal takes the pending mark)
      const std::int64_t cpu0 = threadCpuNsById(dataWorker);
      all.service->channels().signal(releases);
      std::this_thread::sleep_for(20ms);
      cpu[releases].push_back(static_cast<double>(threadCpuNsById(dataWorker) - cpu0) / 1000);
    }
  }
  const double onePass = percentile(cpu[1], 0.5), manyReleases = percentile(cpu[kReleases], 0.5);
  note("data worker (thread {}) CPU: {:.1f} µs after 1 release, {:.1f} µs after {}", dataWorker, onePass,
       manyReleases, kReleases);
  printRow({"2b. 1,000 signal releases between two passes",
            fmt::format("{:.1f} µs CPU ({:.0f} ns per extra release)", manyReleases,
                        (manyReleases - onePass) * 1000 / (kReleases - 1)),
            fmt::format("{:.1f} µs CPU (1 release: one pass)", onePass), manyReleases / onePass,
            "≤ 2 (one pass, not 1,000)", manyReleases / onePass <= 2});
}

void changePath() {
  constexpr int kRounds = 7;
  constexpr long kIterations = 4'000'000;
  constexpr long kFirstChangeIterations = 200'000;  // a semaphore release may be a system call
  test::ServiceHarness harness;
  harness.model().addElement({"E", "", {}, {{"A", ormanta::data::NativeType::kDouble}}});
  auto service = harness.create("{\"serviceName\":\"S\"}");
  Subscription subscription(*service);
  ormanta::plugins::TulService::updateChannels(*service, {"S.E.A"}, {}, subscription);
  const std::shared_ptr<Channel> channelPointer = channelOf(*service, "S.E.A");
  Channel& channel = *channelPointer;
  service->channels().drainSignal();

  // ns per iteration (median of the rounds) and allocations per iteration.
  auto measure = [&](long iterations, auto&& step) {
    std::vector<double> ns;
    ns.reserve(kRounds);
    std::uint64_t allocations = 0;
    for (int round = 0; round < kRounds; ++round) {
      const std::uint64_t allocations0 = threadAllocations();
      const auto start = Clock::now();
      for (long i = 0; i < iterations; ++i) step();
      const auto end = Clock::now();
      allocations += threadAllocations() - allocations0;
      ns.push_back(std::chrono::duration<double, std::nano>(end - start).count() /
                   static_cast<double>(iterations));
    }
    return std::pair{percentile(ns, 0.5),
                     static_cast<double>(allocations) / static_cast<double>(kRounds * iterations)};
  };

  // The channel is marked changed (attach did so) and no pass clears it: the usual case
  // between two passes.
  const auto [changedNs, changedAllocations] = measure(kIterations, [&] {
    channel.onChange();
    channel.afterChanges();
  });
  std::atomic<bool> changed{true}, pending{false};
  const auto [bareNs, bareAllocations] = measure(kIterations, [&] {
    changed.exchange(true);
    pending.exchange(false);
  });
  printRow({"3a. Change path, onChange + afterChanges",
            fmt::format("{:.1f} ns, {} allocations", changedNs, changedAllocations),
            fmt::format("{:.1f} ns (two atomic exchanges)", bareNs), changedNs / bareNs,
            "< 20 ns, 0 allocations", changedNs < 20 && changedAllocations == 0});

  // The first change after a sample: marks, queues on the changed stack and releases
  // the signal; the step also does the data worker's side (take the change, empty the
  // stack, acquire), so that every round starts alike.
  const auto [firstNs, firstAllocations] = measure(kFirstChangeIterations, [&] {
    channel.takeChange();
    service->channels().takeChanged();
    channel.onChange();
    channel.afterChanges();
    (void)service->channels().waitForSignal(1s);
  });
  std::atomic<void*> head{nullptr};
  std::counting_semaphore<> semaphore{0};
  void* const self = &head;
  const auto [bareFirstNs, bareFirstAllocations] = measure(kFirstChangeIterations, [&] {
    changed.exchange(false);
    head.exchange(nullptr);
    if (!changed.exchange(true)) {
      void* expected = head.load(std::memory_order_relaxed);
      while (
          !head.compare_exchange_weak(expected, self, std::memory_order_release, std::memory_order_relaxed)) {
      }
      pending.store(true);
    }
    if (pending.exchange(false)) semaphore.release();
    semaphore.acquire();
  });
  printRow({"3b. Change path, first change after a sample (with the worker's take)",
            fmt::format("{:.1f} ns, {} allocations", firstNs, firstAllocations),
            fmt::format("{:.1f} ns (the same atomic operations, bare)", bareFirstNs), firstNs / bareFirstNs,
            "0 allocations, no lock", firstAllocations == 0});
  ormanta::plugins::TulService::updateChannels(*service, {}, {"S.E.A"}, subscription);
}

void memoryPerMember(const ServerAddress& server) {
  constexpr int kMembers = 100'000;
  test::RedisClient admin(server.host, server.port);
  resetServer(admin);
  LiveService live(server, [&](ormanta::host::Model& model) { addElements(model, kMembers); });
  test::RedisClient peer(server.host, server.port);
  const std::vector<std::string> names = memberPaths(kMembers);
  std::this_thread::sleep_for(500ms);  // the registration run frees what it built
  trimHeap();
  const std::int64_t resident0 = residentBytes();
  const long long server0 = infoNumber(admin, "memory", "used_memory");
  subscribe(peer, "bench", 0, names, 60s);
  awaitXadds(admin, kMembers, 60s);
  std::this_thread::sleep_for(500ms);
  trimHeap();
  const std::int64_t resident1 = residentBytes();
  const long long server1 = infoNumber(admin, "memory", "used_memory");
  const double perMember = static_cast<double>(resident1 - resident0) / kMembers;
  const double perStream = static_cast<double>(server1 - server0) / kMembers;
  note("resident {:.1f} MB -> {:.1f} MB; server used_memory +{:.1f} MB", resident0 / 1e6, resident1 / 1e6,
       (server1 - server0) / 1e6);
  admin.str({"FLUSHALL"});

  // Where it goes: the same subscription made step by step on a service of its own that the
  // bench thread serves.
  {
    test::ServiceHarness harness;
    addElements(harness.model(), kMembers);
    auto service = harness.create(test::serviceConfig(server.text(), "S"));
    Subscription subscription(*service);
    subscription.samplingInterval = 0;
    auto step = [last = std::int64_t{0}]() mutable {
      trimHeap();
      const std::int64_t now = residentBytes();
      const double perMember = static_cast<double>(now - last) / kMembers;
      last = now;
      return perMember;
    };
    step();
    subscription.names = names;
    const double namesBytes = step();
    ormanta::plugins::TulService::updateChannels(*service, names, {}, subscription);
    const double channelsBytes = step();
    double passBytes = 0;
    {
      ormanta::utils::io::StopSource stop;
      RedisConnection connection(server.text());
      connection.connect(stop, 3);
      ValuePublisher publisher(connection, *service);
      publisher.publishPass(3000);
      passBytes = step();
    }
    note(
        "per member: {:.0f} B the subscription's names, {:.0f} B channels (map, Channel, the host's handler "
        "registration), {:.0f} B kept by the publisher and its connection after the first pass",
        namesBytes, channelsBytes, passBytes);
    ormanta::plugins::TulService::updateChannels(*service, {}, names, subscription);
  }
  printRow({"8. Memory per subscribed member (100,000)", fmt::format("{} B resident", grouped(perMember)),
            fmt::format("{} B (the server's memory per value stream)", grouped(perStream)),
            perMember / perStream, "≤ 1,024 B", perMember <= 1024});
  admin.str({"FLUSHALL"});
}

}  // namespace tul::bench
