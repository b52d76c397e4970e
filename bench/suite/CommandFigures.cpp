// Figures 4 and 5: what a peer sees of the service.

#include <hiredis/hiredis.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <semaphore>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "Figures.h"
#include "Live.h"
#include "Measure.h"
#include "Report.h"
#include "support/Wait.h"

namespace tul::bench {
namespace {

using namespace std::chrono_literals;
using ormanta::data::NativeType;

void addBoiler(ormanta::host::Model& model) {
  model.addElement({"Boiler", "", {}, {{"Setpoint", NativeType::kDouble}, {"Temp", NativeType::kDouble}}});
}

std::string_view textOf(const redisReply* reply) { return {reply->str, reply->len}; }

// Calls onEntry(id, fields) for every entry of an XREAD reply.
template <class OnEntry>
void forEachEntry(const redisReply* reply, OnEntry&& onEntry) {
  if (reply->type != REDIS_REPLY_ARRAY) return;
  for (std::size_t s = 0; s < reply->elements; ++s) {
    const redisReply* entries = reply->element[s]->element[1];
    for (std::size_t i = 0; i < entries->elements; ++i) {
      const redisReply* entry = entries->element[i];
      std::map<std::string_view, std::string_view> fields;
      const redisReply* array = entry->element[1];
      for (std::size_t f = 0; f + 1 < array->elements; f += 2) {
        fields[textOf(array->element[f])] = textOf(array->element[f + 1]);
      }
      onEntry(textOf(entry->element[0]), fields);
    }
  }
}

using ContextPtr = std::unique_ptr<redisContext, decltype(&redisFree)>;

ContextPtr connect(const ServerAddress& server) {
  ContextPtr context(redisConnectWithTimeout(server.host.c_str(), server.port, timeval{3, 0}), &redisFree);
  if (!context || context->err != 0) throw std::runtime_error("cannot connect to the server");
  redisSetTimeout(context.get(), timeval{10, 0});
  return context;
}

// The hand-off inside the change path: from a release of a counting_semaphore on one thread
// until a thread waiting for it in try_acquire_for (as the data worker waits) runs. Median and
// p99 in µs.
std::pair<double, double> semaphoreHandOff() {
  std::counting_semaphore<> signal{0};
  std::atomic<std::int64_t> releasedAt{0};
  std::atomic<bool> stop{false};
  std::vector<double> samples;
  auto nowNs = [] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
  };
  std::thread waiter([&] {
    while (!stop.load()) {
      if (!signal.try_acquire_for(std::chrono::milliseconds(3000)) || stop.load()) continue;
      samples.push_back(static_cast<double>(nowNs() - releasedAt.load()) / 1000);
    }
  });
  for (int i = 0; i < 2000; ++i) {
    std::this_thread::sleep_for(1ms);
    releasedAt.store(nowNs());
    signal.release();
  }
  std::this_thread::sleep_for(5ms);
  stop.store(true);
  signal.release();
  waiter.join();
  return {percentile(samples, 0.5), percentile(samples, 0.99)};
}

}  // namespace

void changeToPeer(const ServerAddress& server) {
  constexpr int kChanges = 2000;
  constexpr auto kPeriod = 10ms;
  const std::string stream = "SValue:S.Boiler.Temp";
  test::RedisClient admin(server.host, server.port);
  resetServer(admin);
  std::vector<double> latencies, pings;
  {
    LiveService live(server, addBoiler);
    test::RedisClient peer(server.host, server.port);
    subscribe(peer, "bench", 0, {"S.Boiler.Temp"}, 10s);
    if (!test::waitUntil([&] { return peer.xlen(stream) > 0; }, 10s))
      throw std::runtime_error("no first value");
    const std::string first = lastEntryId(peer, stream);

    std::vector<Clock::time_point> changedAt(kChanges + 1), arrivedAt(kChanges + 1);
    std::atomic<bool> done{false};
    std::thread reader([&] {
      test::RedisClient client(server.host, server.port);
      std::string from = first;
      while (!done.load()) {
        test::ReplyPtr reply = client.command({"XREAD", "BLOCK", "500", "STREAMS", stream, from});
        const auto now = Clock::now();
        forEachEntry(reply.get(), [&](std::string_view id, const auto& fields) {
          from = std::string(id);
          const auto value = fields.find("value");
          if (value == fields.end()) return;
          const int index = static_cast<int>(std::strtod(std::string(value->second).c_str(), nullptr));
          if (index >= 1 && index <= kChanges && arrivedAt[index] == Clock::time_point{})
            arrivedAt[index] = now;
        });
      }
    });
    std::this_thread::sleep_for(50ms);  // the peer blocks first
    // The anchor is sampled in the same seconds: halfway between two changes this thread
    // sends one PING, from a sleep as the peer waits from a blocked read.
    test::RedisClient pinger(server.host, server.port);
    const auto start = Clock::now();
    for (int i = 1; i <= kChanges; ++i) {
      std::this_thread::sleep_until(start + i * kPeriod - kPeriod / 2);
      const auto pingAt = Clock::now();
      pinger.command({"PING"});
      pings.push_back(std::chrono::duration<double, std::micro>(Clock::now() - pingAt).count());
      std::this_thread::sleep_until(start + i * kPeriod);
      changedAt[i] = Clock::now();
      live.model().setValue("Boiler", "Temp", static_cast<double>(i));
      // The lease lasts 20 s; renewing it publishes nothing new.
      if (i % 500 == 0) {
        sendCommand(peer, {{"cmd", "subscribe"},
                           {"subscriptionId", "bench"},
                           {"samplingInterval", "0"},
                           {"name", "S.Boiler.Temp"}});
      }
    }
    std::this_thread::sleep_for(600ms);
    done.store(true);
    reader.join();
    for (int i = 1; i <= kChanges; ++i) {
      if (arrivedAt[i] == Clock::time_point{}) continue;
      latencies.push_back(std::chrono::duration<double, std::micro>(arrivedAt[i] - changedAt[i]).count());
    }
    note("{} of {} changes reached the peer as an entry of their own", latencies.size(), kChanges);
  }
  const BenchmarkResult hotPing = pingRoundTrip(server);
  const auto [handOff, handOffP99] = semaphoreHandOff();
  note("a semaphore hand-off between two threads of this process: median {:.1f} µs, p99 {:.1f} µs", handOff,
       handOffP99);
  const double median = percentile(latencies, 0.5), p99 = percentile(latencies, 0.99);
  const double pingMedian = percentile(pings, 0.5), pingP99 = percentile(pings, 0.99);
  note(
      "change to peer: median {:.1f} µs, p99 {:.1f} µs; PING between the changes: median {:.1f} µs, p99 "
      "{:.1f} µs; "
      "redis-benchmark -c 1 -P 1 PING: median {:.1f} µs, p99 {:.1f} µs",
      median, p99, pingMedian, pingP99, hotPing.p50Us, hotPing.p99Us);
  // A change that a later one overtook before the data worker's pass is published with that
  // one's value: sampling, not loss.
  const std::size_t coalesced = kChanges - latencies.size();
  printRow(
      {"4a. Change to peer, median (2,000 changes at 100/s)",
       fmt::format("{:.0f} µs{}", median, coalesced == 0 ? "" : fmt::format(" ({} coalesced)", coalesced)),
       fmt::format("{:.0f} µs (PING median between the changes; redis-benchmark -c 1 -P 1: {:.0f} µs)",
                   pingMedian, hotPing.p50Us),
       median / pingMedian, "≤ 2 × PING", median <= 2 * pingMedian});
  printRow({"4b. Change to peer, 99th percentile", fmt::format("{:.0f} µs", p99),
            fmt::format("{:.0f} µs (PING p99 between the changes; redis-benchmark: {:.0f} µs)", pingP99,
                        hotPing.p99Us),
            p99 / pingP99, "≤ 4 × PING", p99 <= 4 * pingP99});
  admin.str({"FLUSHALL"});
}

void setCommands(const ServerAddress& server) {
  constexpr int kBurst = 5000;
  constexpr int kBursts = 3;
  constexpr int kRoundTrips = 1000;
  test::RedisClient admin(server.host, server.port);
  resetServer(admin);
  std::vector<double> rates, roundTrips, pings;
  int lostResponses = 0;
  {
    LiveService live(server, addBoiler);
    for (int burst = 0; burst < kBursts; ++burst) {
      // A reader follows the command stream while the burst is handled: responses are trimmed
      // away with the stream, so a peer must read them as they come.
      const std::string from = lastEntryId(admin, "S.Commands");
      std::map<std::string, Clock::time_point> responses;
      std::atomic<bool> ready{false};
      std::thread reader([&] {
        test::RedisClient client(server.host, server.port);
        ready.store(true);
        std::string after = from;
        auto lastNews = Clock::now();
        while (Clock::now() - lastNews < 5s) {
          test::ReplyPtr reply = client.command({"XREAD", "BLOCK", "200", "STREAMS", "S.Commands", after});
          const auto now = Clock::now();
          forEachEntry(reply.get(), [&](std::string_view id, const auto& fields) {
            after = std::string(id);
            const auto response = fields.find("responseId");
            if (response == fields.end()) return;
            responses.emplace(std::string(response->second), now);
            lastNews = now;
          });
          if (responses.size() >= static_cast<std::size_t>(kBurst)) break;
        }
      });
      ContextPtr writer = connect(server);
      while (!ready.load()) std::this_thread::sleep_for(1ms);
      std::this_thread::sleep_for(20ms);  // the reader blocks in XREAD before the burst
      const auto start = Clock::now();
      for (int i = 0; i < kBurst; ++i) {
        redisAppendCommand(writer.get(), "XADD S.Commands * cmd set name S.Boiler.Setpoint value %d",
                           burst * kBurst + i);
      }
      std::vector<std::string> ids;
      for (int i = 0; i < kBurst; ++i) {
        void* reply = nullptr;
        if (redisGetReply(writer.get(), &reply) != REDIS_OK)
          throw std::runtime_error("the burst's XADD failed");
        ids.emplace_back(static_cast<redisReply*>(reply)->str);
        freeReplyObject(reply);
      }
      reader.join();
      int seen = 0;
      Clock::time_point end = start;
      for (const std::string& id : ids) {
        const auto found = responses.find(id);
        if (found == responses.end()) continue;
        ++seen;
        end = std::max(end, found->second);
      }
      lostResponses += kBurst - seen;
      const double seconds = std::chrono::duration<double>(end - start).count();
      rates.push_back(seconds > 0 ? kBurst / seconds : 0);
      note("burst {}: {} responses read of {}, the last after {:.1f} ms", burst + 1, seen, kBurst,
           seconds * 1000);
      std::this_thread::sleep_for(200ms);
    }

    // Each round trip is followed by a PING of the same peer, the anchor sampled alike.
    test::RedisClient peer(server.host, server.port);
    for (int i = 0; i < kRoundTrips; ++i) {
      const auto start = Clock::now();
      const std::string id =
          sendCommand(peer, {{"cmd", "set"}, {"name", "S.Boiler.Setpoint"}, {"value", std::to_string(i)}});
      awaitResponse(peer, id, 5s);
      const auto answered = Clock::now();
      roundTrips.push_back(std::chrono::duration<double, std::micro>(answered - start).count());
      peer.command({"PING"});
      pings.push_back(std::chrono::duration<double, std::micro>(Clock::now() - answered).count());
    }
  }
  admin.str({"FLUSHALL"});

  const BenchmarkResult peerAlone = redisBenchmarkCommand(
      server,
      {"-c", "1", "-P", std::to_string(kBurst), "-n", std::to_string(4 * kBurst), "xadd", "S.AnchorCommands",
       "*", "cmd", "set", "name", "S.Boiler.Setpoint", "value", "12.5"},
      60s);
  const BenchmarkResult hotPing = pingRoundTrip(server);
  admin.str({"FLUSHALL"});

  // The best burst: on a shared machine a slow one tells of the machine, not of the service.
  const double rate = percentile(rates, 1.0);
  printRow({"5a. \"set\" burst, 5,000 pipelined",
            fmt::format("{} commands/s{}", grouped(rate),
                        lostResponses == 0 ? "" : fmt::format(" ({} responses not read)", lostResponses)),
            fmt::format("{} XADD/s (the peer's XADDs alone, redis-benchmark -c 1 -P 5000)",
                        grouped(peerAlone.requestsPerSecond)),
            rate / peerAlone.requestsPerSecond, "≥ 20,000 commands/s", rate >= 20'000});
  const double median = percentile(roundTrips, 0.5), pingMedian = percentile(pings, 0.5);
  note(
      "set round trip: median {:.1f} µs, p99 {:.1f} µs; PING after each: median {:.1f} µs; redis-benchmark "
      "-c 1 "
      "-P 1 PING: median {:.1f} µs",
      median, percentile(roundTrips, 0.99), pingMedian, hotPing.p50Us);
  printRow({"5b. \"set\" round trip, median (XADD to response read)", fmt::format("{:.0f} µs", median),
            fmt::format("{:.0f} µs (PING median, after each; redis-benchmark: {:.0f} µs)", pingMedian,
                        hotPing.p50Us),
            median / pingMedian, "≤ 3 × PING", median <= 3 * pingMedian});
}

}  // namespace tul::bench
