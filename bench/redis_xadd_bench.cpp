// Throughput of RedisConnection::xadd with the data worker's normal batch: 10,000 records of
// one "value" field, MAXLEN ~ 100, against a private redis-server on loopback.
//
//   BM_XaddBatch/10000  one stream per record, as the data worker publishes 10,000 members
//   BM_XaddBatch/1      every record to one stream, the shape redis-benchmark measures
//   BM_FormatBatch      the client's share alone: formatting the batch, no socket

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "redis/RedisConnection.h"
#include "redis/StaticNumberText.h"
#include "support/RedisServer.h"

namespace {

using ormanta::plugins::TulService::RedisConnection;
using ormanta::plugins::TulService::RedisRecord;
using ormanta::plugins::TulService::RequestBatch;
using ormanta::plugins::TulService::StaticNumberText;

constexpr int kRecords = 10'000;
constexpr std::uint64_t kMaxLength = 100;

tul::test::RedisServer& server() {
  // Started on first use, on the benchmark's main thread, and stopped at exit.
  static tul::test::RedisServer instance;
  return instance;
}

std::vector<RedisRecord> makeRecords(int streams) {
  std::vector<RedisRecord> records;
  records.reserve(kRecords);
  for (int i = 0; i < kRecords; ++i) {
    records.push_back(
        {"SValue:S.Element" + std::to_string(i % streams) + ".Attr", {{"value", std::to_string(12.5 + i)}}});
  }
  return records;
}

void BM_XaddBatch(benchmark::State& state) {
  const auto records = makeRecords(static_cast<int>(state.range(0)));
  ormanta::utils::io::StopSource stop;
  RedisConnection connection(server().address());
  connection.connect(stop, 3);
  connection.xadd(records, kMaxLength);  // warm-up: streams exist, buffers sized
  for (auto _ : state) connection.xadd(records, kMaxLength);
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kRecords, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_XaddBatch)->Arg(10'000)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FormatBatch(benchmark::State& state) {
  const auto records = makeRecords(kRecords);
  RequestBatch batch;
  const StaticNumberText<20> maxLength(kMaxLength);
  const ormanta::plugins::TulService::RedisArgs head = {"XADD", {}, "MAXLEN", "~", maxLength, "*"};
  for (auto _ : state) {
    batch.clear();
    batch.appendRecords(head, records);
    benchmark::DoNotOptimize(batch.bytes().data());
  }
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kRecords, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FormatBatch)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
