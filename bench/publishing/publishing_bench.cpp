// The data path's costs.
//
//   BM_ChangeOfChangedChannel   onChange + afterChanges while the channel is already marked
//                               changed (the common case between two passes)
//   BM_FirstChangeAfterSample   the same for the first change after a sample: marks the channel,
//                               sets changesPending and releases sampleSignal
//   BM_PublishPass/10000        one publishPass over 10,000 changed channels with interval 0
//                               against a private redis-server
// The allocs/change counters count global operator new calls inside the timed loop.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "commands/Channel.h"
#include "commands/SubscriptionTable.h"
#include "publishing/ValuePublisher.h"
#include "support/RedisServer.h"
#include "support/ServiceHarness.h"

namespace {
std::atomic<std::size_t> allocations{0};
}  // namespace

// Counting replacements of the global allocation functions; GCC cannot see that new and
// delete are replaced as a pair.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace ormanta;
using namespace ormanta::plugins::TulService;

struct ChannelFixture {
  ChannelFixture() {
    harness.model().addElement({"E", "", {}, {{"A", data::NativeType::kDouble}}});
    service = harness.create("{\"serviceName\":\"S\"}");
    subscription = std::make_unique<Subscription>(*service);
    updateChannels(*service, {"S.E.A"}, {}, *subscription);
    channel = service->channelMap.at("S.E.A");
    while (service->sampleSignal.try_acquire()) {
    }
  }
  ~ChannelFixture() { updateChannels(*service, {}, {"S.E.A"}, *subscription); }

  tul::test::ServiceHarness harness;
  std::shared_ptr<Service> service;
  std::unique_ptr<Subscription> subscription;
  std::shared_ptr<Channel> channel;
};

void BM_ChangeOfChangedChannel(benchmark::State& state) {
  ChannelFixture fixture;
  Channel& channel = *fixture.channel;
  const std::size_t before = allocations.load();
  for (auto _ : state) {
    channel.onChange();
    channel.afterChanges();
  }
  state.counters["allocs/change"] =
      static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ChangeOfChangedChannel);

void BM_FirstChangeAfterSample(benchmark::State& state) {
  ChannelFixture fixture;
  Channel& channel = *fixture.channel;
  Service& service = *fixture.service;
  const std::size_t before = allocations.load();
  for (auto _ : state) {
    channel.markSampled(0);
    channel.onChange();
    channel.afterChanges();
    service.sampleSignal.acquire();  // the data worker's side, so the count stays bounded
  }
  state.counters["allocs/change"] =
      static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FirstChangeAfterSample);

void BM_PublishPass(benchmark::State& state) {
  const auto count = static_cast<int>(state.range(0));
  tul::test::RedisServer server;
  tul::test::ServiceHarness harness;
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    const std::string key = "E" + std::to_string(i);
    harness.model().addElement({key, "", {}, {{"A", data::NativeType::kDouble}}});
    names.push_back("S." + key + ".A");
  }
  auto service = harness.create(tul::test::serviceConfig(server.address(), "S"));
  Subscription subscription(*service);
  subscription.samplingInterval = 0;
  updateChannels(*service, names, {}, subscription);

  utils::io::StopSource stop;
  RedisConnection connection(server.address());
  connection.connect(stop, 3);
  ValuePublisher publisher(connection, *service);
  double value = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto batch = harness.model().batch();
    value += 1;
    for (int i = 0; i < count; ++i) batch.add("E" + std::to_string(i), "A", value);
    batch.commit();
    state.ResumeTiming();
    publisher.publishPass(3000);
  }
  state.counters["values/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * count, benchmark::Counter::kIsRate);
  updateChannels(*service, {}, names, subscription);
}
BENCHMARK(BM_PublishPass)->Arg(10'000)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace
