// The command path end to end, a running service against a private redis-server:
//
//   BM_SetRoundTrip       a peer's "set" from its XADD to the response read back (median, p99)
//   BM_SetBurst/1000      1,000 "set" commands, at most 32 outstanding, until the last response
//   BM_SetBurstPipelined/5000  5,000 "set" commands in one pipelined write, until the last response
//   BM_PingRoundTrip      a PING of the same peer, the yardstick of the round trips
//   BM_ChangeToPeer       a member change on the host until a peer blocked in XREAD on the
//                         member's value stream has the value (interval 0)

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "support/CommandPeer.h"
#include "support/LiveService.h"

namespace {

using namespace std::chrono_literals;
using namespace ormanta;
using Clock = std::chrono::steady_clock;

struct Running {
  Running() {
    harness.model().addElement(
        {"Boiler", "", {}, {{"Setpoint", data::NativeType::kDouble}, {"Temp", data::NativeType::kDouble}}});
    service = harness.create(tul::test::serviceConfig(server.address(), "S"));
    service->prepare();
    peer = std::make_unique<tul::test::RedisClient>(server);
    tul::test::waitUntil(
        [&] {
          return tul::test::flagAttribute(*service, plugins::TulService::ServiceAttribute::kState) &&
                 tul::test::flagAttribute(*service,
                                          plugins::TulService::ServiceAttribute::kIsServiceRegistered);
        },
        10s);
  }
  ~Running() { service->cleanup(); }

  // Blocks in XREAD on the command stream until the response to id arrives.
  void awaitResponse(const std::string& id) {
    std::string from = id;
    for (;;) {
      auto reply = peer->command({"XREAD", "BLOCK", "5000", "STREAMS", "S.Commands", from});
      if (reply->type != REDIS_REPLY_ARRAY) throw std::runtime_error("no response within 5 s");
      const redisReply* entries = reply->element[0]->element[1];
      for (std::size_t i = 0; i < entries->elements; ++i) {
        const redisReply* entry = entries->element[i];
        from = entry->element[0]->str;
        const redisReply* fields = entry->element[1];
        for (std::size_t f = 0; f + 1 < fields->elements; f += 2) {
          if (std::string_view(fields->element[f]->str) == "responseId" && id == fields->element[f + 1]->str)
            return;
        }
      }
    }
  }

  tul::test::RedisServer server;
  tul::test::ServiceHarness harness;
  std::shared_ptr<plugins::TulService::Service> service;
  std::unique_ptr<tul::test::RedisClient> peer;
};

double percentile(std::vector<double> samples, double p) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1))];
}

void BM_SetRoundTrip(benchmark::State& state) {
  Running running;
  std::vector<double> micros;
  int i = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    const std::string id = running.peer->xadd(
        "S.Commands", {{"cmd", "set"}, {"name", "S.Boiler.Setpoint"}, {"value", std::to_string(++i)}});
    running.awaitResponse(id);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  state.counters["median_us"] = percentile(micros, 0.5);
  state.counters["p99_us"] = percentile(micros, 0.99);
}
BENCHMARK(BM_SetRoundTrip)->Iterations(2000)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A peer that sends while it reads the responses: kWindow commands in flight.
void BM_SetBurst(benchmark::State& state) {
  constexpr long kWindow = 32;
  Running running;
  const long count = state.range(0);
  redisContext* context = redisConnect("127.0.0.1", running.server.port());
  std::vector<std::string> ids(static_cast<std::size_t>(count));
  for (auto _ : state) {
    long sent = 0;
    long answered = 0;
    auto sendUpTo = [&](long limit) {
      for (; sent < limit; ++sent) {
        redisAppendCommand(context, "XADD S.Commands * cmd set name S.Boiler.Setpoint value %ld", sent);
      }
    };
    auto collectIds = [&](long from, long to) {
      for (long i = from; i < to; ++i) {
        void* reply = nullptr;
        redisGetReply(context, &reply);
        ids[static_cast<std::size_t>(i)] = static_cast<redisReply*>(reply)->str;
        freeReplyObject(reply);
      }
    };
    sendUpTo(std::min(kWindow, count));
    collectIds(0, sent);
    while (answered < count) {
      running.awaitResponse(ids[static_cast<std::size_t>(answered)]);
      ++answered;
      const long before = sent;
      sendUpTo(std::min(answered + kWindow, count));
      collectIds(before, sent);
    }
  }
  redisFree(context);
  state.counters["sets/s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * count), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SetBurst)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// All commands added in one pipelined write, until the last response is there: the service
// reads every command before a response's trim could remove it, so no window is needed.
void BM_SetBurstPipelined(benchmark::State& state) {
  Running running;
  const long count = state.range(0);
  redisContext* context = redisConnect("127.0.0.1", running.server.port());
  std::string last;
  for (auto _ : state) {
    for (long i = 0; i < count; ++i) {
      redisAppendCommand(context, "XADD S.Commands * cmd set name S.Boiler.Setpoint value %ld", i);
    }
    for (long i = 0; i < count; ++i) {
      void* reply = nullptr;
      redisGetReply(context, &reply);
      last = static_cast<redisReply*>(reply)->str;
      freeReplyObject(reply);
    }
    running.awaitResponse(last);
  }
  redisFree(context);
  state.counters["sets/s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * count), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SetBurstPipelined)->Arg(5000)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The yardstick of the round trips above: a PING answered by the same server.
void BM_PingRoundTrip(benchmark::State& state) {
  Running running;
  for (auto _ : state) running.peer->command({"PING"});
}
BENCHMARK(BM_PingRoundTrip)->Iterations(2000)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ChangeToPeer(benchmark::State& state) {
  Running running;
  running.peer->xadd("S.Commands", {{"cmd", "subscribe"},
                                    {"subscriptionId", "bench"},
                                    {"samplingInterval", "0"},
                                    {"name", "S.Boiler.Temp"}});
  tul::test::waitUntil([&] { return running.peer->xlen("SValue:S.Boiler.Temp") > 0; }, 5s);
  std::vector<double> micros;
  double value = 0;
  for (auto _ : state) {
    const std::string last = running.peer->xrange("SValue:S.Boiler.Temp").back().id;
    Clock::time_point changedAt;
    std::thread changer([&] {
      std::this_thread::sleep_for(2ms);  // let the peer block first
      changedAt = Clock::now();
      running.harness.model().setValue("Boiler", "Temp", ++value);
    });
    auto reply = running.peer->command({"XREAD", "BLOCK", "5000", "STREAMS", "SValue:S.Boiler.Temp", last});
    const auto arrived = Clock::now();
    changer.join();
    if (reply->type != REDIS_REPLY_ARRAY) throw std::runtime_error("no value within 5 s");
    micros.push_back(std::chrono::duration<double, std::micro>(arrived - changedAt).count());
  }
  state.counters["median_us"] = percentile(micros, 0.5);
  state.counters["p99_us"] = percentile(micros, 0.99);
}
BENCHMARK(BM_ChangeToPeer)->Iterations(500)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
