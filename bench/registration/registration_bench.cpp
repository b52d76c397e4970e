// One registration of a large model against a private redis-server on loopback: 100,000
// elements (100 areas of 999 devices, every one with 8 attributes, 5 distinct member lists).
//
//   BM_BuildCatalogue    the model walk alone
//   BM_EncodeRecords     the records of a catalogue alone (built untimed, records discarded)
//   BM_SendBatch         the one pipelined HSET batch alone (records encoded untimed)
//   BM_RunRegistration   the whole run: clear, service record, enumerations, walk, encode, send
//
// bench/registration/compare.sh gives redis-benchmark's figure for HSET requests of the same
// size at the same pipeline depth.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/PlantModel.h"
#include "ormanta/host/Model.h"
#include "ormanta/utils/io/StopSource.h"
#include "redis/RedisConnection.h"
#include "registration/DataPointCatalogue.h"
#include "registration/RegistrationRecords.h"
#include "registration/RegistrationRun.h"
#include "registration/RegistrationWorker.h"
#include "support/RedisServer.h"
#include "support/ServiceHarness.h"

namespace {

using namespace ormanta::plugins::TulService;
using tul::bench::attributesOfKind;

constexpr int kAreas = 100;
constexpr int kDevicesPerArea = 999;
constexpr int kElements = kAreas * (1 + kDevicesPerArea);
constexpr int kKinds = 5;

struct Setup {
  Setup() {
    auto& model = harness.model();
    for (int area = 0; area < kAreas; ++area) {
      auto parent =
          model.addElement({"Area" + std::to_string(area), "", {}, attributesOfKind(area % kKinds)});
      for (int device = 0; device < kDevicesPerArea; ++device) {
        model.addElement({"Device" + std::to_string(device), "", {}, attributesOfKind(device % kKinds)},
                         parent.get());
      }
    }
    service = harness.create(tul::test::serviceConfig(server.address()));
    connection = std::make_unique<RedisConnection>(server.address());
    connection->connect(stop, 3);
  }

  tul::test::RedisServer server;
  tul::test::ServiceHarness harness;
  std::shared_ptr<Service> service;
  ormanta::utils::io::StopSource stop;
  std::unique_ptr<RedisConnection> connection;
};

Setup& setup() {
  // Built on first use, on the benchmark's main thread; the server stops at exit.
  static Setup instance;
  return instance;
}

void setRates(benchmark::State& state, double recordsPerIteration) {
  state.counters["elements/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kElements, benchmark::Counter::kIsRate);
  state.counters["records/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * recordsPerIteration, benchmark::Counter::kIsRate);
}

void BM_BuildCatalogue(benchmark::State& state) {
  Setup& s = setup();
  for (auto _ : state) {
    DataPointCatalogue catalogue = buildCatalogue(*s.service);
    benchmark::DoNotOptimize(catalogue.size());
    state.PauseTiming();
    catalogue = {};
    state.ResumeTiming();
  }
  setRates(state, kElements);
}
BENCHMARK(BM_BuildCatalogue)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EncodeRecords(benchmark::State& state) {
  Setup& s = setup();
  std::size_t records = 0;
  std::size_t dataPointBytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    DataPointCatalogue catalogue = buildCatalogue(*s.service);
    auto run = std::make_unique<RegistrationRun>(*s.connection, s.service->serviceName());
    state.ResumeTiming();
    std::vector<RedisRecord> encoded = run->encodeDataPoints(catalogue);
    benchmark::DoNotOptimize(encoded.data());
    state.PauseTiming();
    records = encoded.size();
    dataPointBytes = 0;
    for (const RedisRecord& record : encoded) {
      if (record.key == run->dataPointsKey) dataPointBytes += record.fields.begin()->second.size();
    }
    encoded = {};
    run.reset();
    state.ResumeTiming();
  }
  setRates(state, static_cast<double>(records));
  state.counters["records"] = static_cast<double>(records);
  state.counters["bytes/dataPoint"] = static_cast<double>(dataPointBytes) / kElements;
}
BENCHMARK(BM_EncodeRecords)->Unit(benchmark::kMillisecond)->UseRealTime();

// The JSON text of one data point record, the part of BM_EncodeRecords that the encoder does.
void BM_EncodeDataPointRecord(benchmark::State& state) {
  const std::string name = "TULOrmantaService.Area42.Device123";
  const std::string channel = "TULOrmantaServiceValue:" + name;
  for (auto _ : state) {
    std::string record = encodeDataPointRecord(name, "t_3", 524728, channel);
    benchmark::DoNotOptimize(record.data());
  }
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EncodeDataPointRecord);

void BM_SendBatch(benchmark::State& state) {
  Setup& s = setup();
  DataPointCatalogue catalogue = buildCatalogue(*s.service);
  RegistrationRun run(*s.connection, s.service->serviceName());
  const std::vector<RedisRecord> records = run.encodeDataPoints(catalogue);
  for (auto _ : state) s.connection->hset(records);
  setRates(state, static_cast<double>(records.size()));
}
BENCHMARK(BM_SendBatch)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RunRegistration(benchmark::State& state) {
  Setup& s = setup();
  for (auto _ : state) runRegistration(*s.service, *s.connection);
  // Every data point, the structure types, the service record and two enumerations.
  setRates(state, kElements + kKinds + 3);
}
BENCHMARK(BM_RunRegistration)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
