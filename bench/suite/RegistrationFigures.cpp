// Figure 6: registration of a large model.

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "Figures.h"
#include "Measure.h"
#include "Report.h"
#include "bench/PlantModel.h"
#include "ormanta/host/Model.h"
#include "ormanta/utils/io/StopSource.h"
#include "redis/RedisConnection.h"
#include "registration/RegistrationRun.h"
#include "registration/RegistrationWorker.h"
#include "support/ServiceHarness.h"

namespace tul::bench {
namespace {

using namespace std::chrono_literals;

constexpr int kDevicesPerArea = 999;
constexpr int kKinds = 5;
constexpr const char* kDataPointsKey = "TULOrmantaService.DataPoints";
constexpr const char* kDataTypesKey = "TULOrmantaService.DataTypes";

// `elements` elements: areas of one element and 999 devices below it.
struct PlantService {
  PlantService(const ServerAddress& server, int elements) {
    auto& model = harness.model();
    const int areas = elements / (1 + kDevicesPerArea);
    for (int area = 0; area < areas; ++area) {
      auto parent =
          model.addElement({"Area" + std::to_string(area), "", {}, attributesOfKind(area % kKinds)});
      for (int device = 0; device < kDevicesPerArea; ++device) {
        model.addElement({"Device" + std::to_string(device), "", {}, attributesOfKind(device % kKinds)},
                         parent.get());
      }
    }
    service = harness.create(test::serviceConfig(server.text()));
    connection = std::make_unique<ormanta::plugins::TulService::RedisConnection>(server.text());
    connection->connect(stop, 3);
  }

  // Seconds of one whole run.
  double run() {
    const auto start = Clock::now();
    ormanta::plugins::TulService::runRegistration(*service, *connection);
    return secondsSince(start);
  }

  test::ServiceHarness harness;
  std::shared_ptr<test::Service> service;
  ormanta::utils::io::StopSource stop;
  std::unique_ptr<ormanta::plugins::TulService::RedisConnection> connection;
};

// Mean field and value length of a sample of a hash's fields.
std::pair<double, double> meanFieldSizes(test::RedisClient& client, const std::string& key) {
  test::ReplyPtr reply = client.command({"HRANDFIELD", key, "1000", "WITHVALUES"});
  if (reply->type != REDIS_REPLY_ARRAY || reply->elements < 2)
    throw std::runtime_error("no records to sample");
  double fields = 0, values = 0;
  for (std::size_t i = 0; i + 1 < reply->elements; i += 2) {
    fields += static_cast<double>(reply->element[i]->len);
    values += static_cast<double>(reply->element[i + 1]->len);
  }
  const double count = static_cast<double>(reply->elements / 2);
  return {fields / count, values / count};
}

}  // namespace

void registrationThroughput(const ServerAddress& server) {
  constexpr int kElements = 100'000;
  constexpr int kRuns = 3;
  test::RedisClient admin(server.host, server.port);
  resetServer(admin);
  std::vector<double> seconds;
  long long records = 0;
  double fieldSize = 0, valueSize = 0;
  {
    PlantService plant(server, kElements);
    plant.run();  // warm-up: the keys exist from now on, as in a service that registers again
    for (int i = 0; i < kRuns; ++i) seconds.push_back(plant.run());
    // Every data point and structure type record goes out in the one batch.
    records = admin.integer({"HLEN", kDataPointsKey}) + admin.integer({"HLEN", kDataTypesKey}) - 2;
    std::tie(fieldSize, valueSize) = meanFieldSizes(admin, kDataPointsKey);
  }
  // The best of each side: on a shared machine a slow run tells of the machine.
  const double runSeconds = *std::min_element(seconds.begin(), seconds.end());
  const double ours = static_cast<double>(records) / runSeconds;

  // HSET of records of the same size, as deep a pipeline as the batch, into a new hash each
  // time like a registration that cleared its keys.
  const int fieldPadding = std::max(0, static_cast<int>(fieldSize + 0.5) - 18 - 12);
  const std::string field =
      "TULOrmantaService." + std::string(static_cast<std::size_t>(fieldPadding), 'x') + "__rand_int__";
  const std::string value(static_cast<std::size_t>(valueSize + 0.5), 'v');
  const std::string depth = std::to_string(records);
  std::vector<double> anchors;
  for (int i = 0; i < kRuns; ++i) {
    admin.str({"FLUSHALL"});
    anchors.push_back(
        redisBenchmarkCommand(
            server, {"-c", "1", "-P", depth, "-n", depth, "-r", depth, "hset", kDataPointsKey, field, value},
            60s)
            .requestsPerSecond);
  }
  admin.str({"FLUSHALL"});
  const double anchor = *std::max_element(anchors.begin(), anchors.end());
  note(
      "registration of {} elements: {} records in {:.0f} ms (runs: {:.0f} / {:.0f} / {:.0f} ms); records of "
      "{:.0f} "
      "+ {:.0f} bytes",
      kElements, records, runSeconds * 1000, seconds[0] * 1000, seconds[1] * 1000, seconds[2] * 1000,
      fieldSize, valueSize);
  printRow({"6a. Registration, 100,000 elements × 8 attributes",
            fmt::format("{} records/s (whole run {:.0f} ms)", grouped(ours), runSeconds * 1000),
            fmt::format("{} HSET/s (redis-benchmark -c 1 -P {})", grouped(anchor),
                        grouped(static_cast<double>(records))),
            ours / anchor, "≥ 0.8", ours / anchor >= 0.8});
}

void registrationMemory(const ServerAddress& server, int elements) {
  test::RedisClient admin(server.host, server.port);
  resetServer(admin);
  const auto built = Clock::now();
  PlantService plant(server, elements);
  note("model of {} elements built in {:.1f} s; resident {:.0f} MB", elements, secondsSince(built),
       residentBytes() / 1e6);
  trimHeap();
  const std::int64_t base = residentBytes();
  const long long server0 = infoNumber(admin, "memory", "used_memory");
  if (!resetPeakResident()) throw std::runtime_error("cannot reset the peak resident size");
  const double seconds = plant.run();
  const double added = static_cast<double>(peakResidentBytes() - base);
  const double serverAdded = static_cast<double>(infoNumber(admin, "memory", "used_memory") - server0);

  // Where the peak comes from: the run's steps one at a time.
  {
    trimHeap();
    const std::int64_t start = residentBytes();
    ormanta::plugins::TulService::RegistrationRun run(*plant.connection, plant.service->serviceName());
    run.describeModel(*plant.service);
    trimHeap();
    const std::int64_t walked = residentBytes();
    std::vector<ormanta::plugins::TulService::RedisRecord> records = run.encodeDataPoints(run.catalogue);
    trimHeap();
    const std::int64_t encoded = residentBytes();
    resetPeakResident();
    plant.connection->hset(records);
    const std::int64_t sent = peakResidentBytes();
    note(
        "the run's steps: catalogue +{:.0f} MB, then records +{:.0f} MB (the catalogue emptied as they are "
        "made), then sending +{:.0f} MB at its peak",
        static_cast<double>(walked - start) / 1e6, static_cast<double>(encoded - walked) / 1e6,
        static_cast<double>(sent - encoded) / 1e6);
  }
  admin.str({"FLUSHALL"});
  printRow({fmt::format("6b. Registration, {} elements: peak memory added", grouped(elements)),
            fmt::format("{} MB; run {:.1f} s", grouped(added / 1e6), seconds),
            fmt::format("{} MB (the server's memory for the records)", grouped(serverAdded / 1e6)),
            added / serverAdded, "≤ 700 MB", added <= 700e6});
}

}  // namespace tul::bench
