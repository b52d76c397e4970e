// The registration worker inside a running service element: what it sends in which order, and
// what it publishes for success, failure, a stop and a wake-up while the data connection is down.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ormanta/host/Host.h"
#include "ormanta/host/Model.h"
#include "plugin/ErrorCategories.h"
#include "registration/DataPointCatalogue.h"
#include "support/FakeServer.h"
#include "support/RedisClient.h"
#include "support/RedisServer.h"
#include "support/ServiceHarness.h"
#include "support/Wait.h"

namespace {

using namespace std::chrono_literals;
using namespace ormanta::plugins::TulService;
using ormanta::data::NativeType;
using ormanta::host::AttributeSpec;
using tul::test::errorAttribute;
using tul::test::flagAttribute;
using tul::test::waitUntil;
using Args = std::vector<std::string>;
using Hash = std::map<std::string, std::string>;

constexpr auto kPatience = 15s;
const std::string kS = "TULOrmantaService";  // the default service name
const std::string kQuality = R"({"enumValues":["Good","Uncertain","Bad","NotConnected"]})";
const std::string kCategories =
    R"({"enumValues":["Generic","Area","Unit","Equipment","Device","Sensor","Actuator","Controller","Drive",)"
    R"("Valve","Pump","Motor","Tank","Conveyor","Service","Folder"]})";
const std::string kBoilerType =
    R"([{"name":".On","type":"Bool","size":8,"access":"b","updateChn":".On"},)"
    R"({"name":".Temp","type":"Real","size":64,"access":"r","updateChn":".Temp"}])";

std::string dataPointRecord(const std::string& name) {
  return R"({"name":")" + name + R"(","type":"t_1","size":72,"access":"b","updateChn":")" + kS +
         "Value:" + name + R"("})";
}

std::string serviceRecord(const std::string& s) {
  return R"({"dataPointsKey":")" + s + R"(.DataPoints","dataTypesKey":")" + s + R"(.DataTypes","cmdChn":")" +
         s + R"(.Commands"})";
}

// Boiler and Pump under the root, each with a read-write Bool "On" and a read-only Real "Temp".
void addBoilerAndPump(ormanta::host::Model& model) {
  const std::vector<AttributeSpec> attributes = {AttributeSpec("Temp", NativeType::kDouble, 0, 64),
                                                 AttributeSpec("On", NativeType::kBool, 2)};
  for (const char* key : {"Boiler", "Pump"}) model.addElement({key, "", {}, attributes});
}

// areas × (1 + devicesPerArea) elements without attributes of their own: the cheapest large
// model the host builds.
std::size_t addLargeModel(ormanta::host::Model& model, int areas, int devicesPerArea) {
  for (int area = 0; area < areas; ++area) {
    auto parent = model.addElement({"Area" + std::to_string(area)});
    for (int device = 0; device < devicesPerArea; ++device) {
      model.addElement({"Device" + std::to_string(device)}, parent.get());
    }
  }
  return static_cast<std::size_t>(areas) * (1 + devicesPerArea);
}

bool registered(const Service& service) {
  return flagAttribute(service, ServiceAttribute::kIsServiceRegistered);
}
std::string message(const Service& service) {
  return errorAttribute(service, ServiceAttribute::kServiceRegistrationError).message();
}
bool pending(const Service& service) {
  return !registered(service) && errorAttribute(service, ServiceAttribute::kServiceRegistrationError) ==
                                     registrationError(RegistrationErrorCategory::kPending);
}

// Answers PING, SET, HDEL, DEL and HSET (an error for those refuse picks) and nothing else, as a
// stalled server would. Replies wait until the client has been quiet for 100 ms, so that each
// group of requests sent without awaiting a reply (a pipelined batch) is recorded as one group.
class RecordingRedis {
 public:
  explicit RecordingRedis(std::function<bool(const Args&)> refuse = [](const Args&) { return false; })
      : refuse_(std::move(refuse)), server_([this](tul::test::FakeConnection& c) { serve(c); }) {}
  std::string address() const { return server_.address(); }
  std::vector<std::string> scriptErrors() const { return server_.scriptErrors(); }
  std::vector<std::vector<Args>> groups() const {
    std::lock_guard lock(mutex_);
    return groups_;
  }

 private:
  void serve(tul::test::FakeConnection& connection) {
    std::vector<Args> held;
    for (;;) {
      const auto timeout = held.empty() ? 1000ms : 100ms;
      const auto start = std::chrono::steady_clock::now();
      if (Args command = connection.readCommand(timeout); !command.empty()) {
        held.push_back(std::move(command));
        continue;
      }
      if (std::chrono::steady_clock::now() - start < timeout / 2) return;  // closed, or the server is going
      if (held.empty()) continue;
      std::string replies;
      std::vector<Args> group;
      for (Args& command : held) {
        if (command[0] == "PING") replies += "+PONG\r\n";
        if (command[0] == "SET") replies += "+OK\r\n";  // the data worker's status key
        if (command[0] != "HDEL" && command[0] != "DEL" && command[0] != "HSET") continue;
        replies += refuse_(command) ? "-ERR refused\r\n" : ":1\r\n";
        group.push_back(std::move(command));
      }
      held.clear();
      if (!group.empty()) {
        std::lock_guard lock(mutex_);
        groups_.push_back(std::move(group));
      }
      if (!connection.send(replies)) return;
    }
  }

  std::function<bool(const Args&)> refuse_;
  mutable std::mutex mutex_;
  std::vector<std::vector<Args>> groups_;  // guarded by mutex_
  tul::test::FakeServer server_;           // last: its threads stop before the rest goes
};

class RegistrationWorkerTest : public ::testing::Test {
 protected:
  void start(const std::string& address) {
    service = harness.create(tul::test::serviceConfig(address));
    service->prepare();
  }
  void TearDown() override {
    if (service) service->cleanup();
  }

  tul::test::ServiceHarness harness;
  std::shared_ptr<Service> service;
};

TEST_F(RegistrationWorkerTest, RunSendsEachStepAloneThenOneBatchAndAStopWhileWaitingPublishesPending) {
  RecordingRedis redis;
  addBoilerAndPump(harness.model());
  start(redis.address());
  ASSERT_TRUE(waitUntil([&] { return registered(*service); }, kPatience)) << message(*service);
  EXPECT_EQ(errorAttribute(*service, ServiceAttribute::kServiceRegistrationError),
            registrationError(RegistrationErrorCategory::kRegistered));
  EXPECT_EQ(message(*service), "the service is successfully registered");
  // The data points go in the catalogue's order, which its hash map decides.
  std::vector<Args> batch = {{"HSET", kS + ".DataTypes", "t_1", kBoilerType}};
  for (const auto& entry : buildCatalogue(*service)) {
    batch.push_back({"HSET", kS + ".DataPoints", entry.first, dataPointRecord(entry.first)});
  }
  EXPECT_EQ(redis.groups(), (std::vector<std::vector<Args>>{
                                {{"HDEL", "Services", kS}},
                                {{"DEL", kS + ".Commands", kS + ".DataTypes", kS + ".DataPoints"}},
                                {{"HSET", "Services", kS, serviceRecord(kS)}},
                                {{"HSET", kS + ".DataTypes", "e_quality", kQuality}},
                                {{"HSET", kS + ".DataTypes", "e_elementCategory", kCategories}},
                                batch}));
  service->cleanup();
  EXPECT_FALSE(service->registrationHandler()->worker.joinable());
  EXPECT_TRUE(pending(*service)) << message(*service);
  EXPECT_TRUE(redis.scriptErrors().empty());
}

TEST_F(RegistrationWorkerTest, FailedStepEndsTheRunAndPublishesItsError) {
  struct Case {
    std::string refused;  // the field refused with an error reply (for kS the HDEL's first)
    AttributeSpec extra;  // an extra attribute of the Boiler element
    std::string message;
    std::size_t groupsSent;
  };
  const Case cases[] = {{kS, AttributeSpec("X", NativeType::kBool), "ERR refused", 1},
                        {"t_1", AttributeSpec("X", NativeType::kBool), "ERR refused", 6},
                        {"", AttributeSpec("future", NativeType(16), ormanta::model::kAccessRead),
                         "Unsupported native type", 5},
                        {"", AttributeSpec("odd", NativeType::kBool, 7), "Unknown access modifier", 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message + " " + c.refused);
    RecordingRedis redis([&](const Args& command) { return command.size() > 2 && command[2] == c.refused; });
    tul::test::ServiceHarness local;
    local.model().addElement({"Boiler", "", {}, {c.extra}});
    auto failing = local.create(tul::test::serviceConfig(redis.address()));
    failing->prepare();
    EXPECT_TRUE(waitUntil([&] { return message(*failing) == c.message; }, kPatience)) << message(*failing);
    EXPECT_FALSE(registered(*failing));
    EXPECT_FALSE(failing->registrationHandler()->registered.load());
    const auto groups = redis.groups();
    EXPECT_EQ(groups.size(), c.groupsSent) << "nothing after the failed step";
    if (c.refused == "t_1" && !groups.empty()) {
      EXPECT_EQ(groups.back().size(), 2u) << "the whole batch went before its replies";
    }
    failing->cleanup();
  }
}

TEST_F(RegistrationWorkerTest, WakeUpWhileDisconnectedIsPendingAndARebuiltConnectionRegistersFromScratch) {
  tul::test::RedisServer server;
  addBoilerAndPump(harness.model());
  start(server.address());
  ASSERT_TRUE(waitUntil([&] { return registered(*service); }, kPatience));
  server.stop();
  ASSERT_TRUE(
      waitUntil([&] { return !flagAttribute(*service, ServiceAttribute::kDataConnectionState); }, kPatience));
  EXPECT_TRUE(waitUntil([&] { return pending(*service); }, kPatience))
      << "a lost data connection takes the registration with it: " << message(*service);
  server.start();
  // Left by an earlier registration of the service: all of it must go.
  tul::test::RedisClient client(server);
  client.command({"HSET", "Services", kS, "stale", "Other", "kept"});
  client.command({"HSET", kS + ".DataPoints", kS + ".Gone", "{}"});
  client.command({"HSET", kS + ".DataTypes", "t_7", "[]"});
  client.command({"XADD", kS + ".Commands", "*", "cmd", "set"});

  service->registrationHandler()->wakeup.notify_all();
  ASSERT_TRUE(waitUntil([&] { return pending(*service); }, kPatience)) << message(*service);
  EXPECT_EQ(client.hgetall("Services")[kS], "stale") << "nothing is registered without a data connection";

  // The model changed meanwhile; only the next run describes the new element.
  harness.model().addElement({"Valve", "", {}, {AttributeSpec("Open", NativeType::kBool)}});
  ormanta::host::runTask(service->reconnectTask());
  ASSERT_TRUE(waitUntil([&] { return registered(*service); }, kPatience)) << message(*service);
  EXPECT_EQ(client.hgetall("Services"), (Hash{{kS, serviceRecord(kS)}, {"Other", "kept"}}));
  const Hash types = client.hgetall(kS + ".DataTypes");
  EXPECT_EQ(types.size(), 4u) << "two enumerations and two structure types, no t_7";
  EXPECT_FALSE(types.contains("t_7"));
  EXPECT_FALSE(client.exists(kS + ".Commands"));
  const Hash points = client.hgetall(kS + ".DataPoints");
  EXPECT_EQ(points.size(), 3u);
  EXPECT_TRUE(points.contains(kS + ".Valve"));
}

// ---- stop within 200 ms ----

TEST_F(RegistrationWorkerTest, CleanupDuringTheWalkOfALargeModelReturnsWithin200Ms) {
  tul::test::RedisServer server;
  addLargeModel(harness.model(), 200, 999);  // walked, encoded and formatted in about a second
  start(server.address());
  tul::test::RedisClient client(server);
  // The enumeration types are the last records of the run before the walk.
  ASSERT_TRUE(waitUntil(
      [&] {
        return client.integer({"HEXISTS", kS + ".DataTypes", "e_elementCategory"}) == 1;
      },
      kPatience, 1ms));
  std::this_thread::sleep_for(20ms);
  const auto begin = std::chrono::steady_clock::now();
  service->cleanup();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 200ms);
  EXPECT_EQ(client.integer({"HLEN", kS + ".DataPoints"}), 0) << "the stop must come before the batch";
  EXPECT_TRUE(pending(*service)) << message(*service);
}

TEST_F(RegistrationWorkerTest, CleanupWhileTheBatchIsWrittenOrItsRepliesAwaitedReturnsWithin200Ms) {
  // A batch of about 20 MB, more than the socket buffers take.
  const std::size_t batchSize = addLargeModel(harness.model(), 100, 999) + 1;  // and one structure type
  for (const bool serverReads : {false, true}) {
    SCOPED_TRACE(serverReads ? "awaiting the replies" : "writing the batch");
    std::atomic<std::size_t> batchRead{0};
    std::atomic<bool> over{false};
    // Answers everything before the batch (leaving XREAD unanswered, as a quiet stream would);
    // of the batch it reads all without answering, or nothing after its first request.
    tul::test::FakeServer redis([&](tul::test::FakeConnection& connection) {
      for (Args command; !(command = connection.readCommand(30s)).empty();) {
        if (command[0] == "HSET" && (command[1] == kS + ".DataPoints" || command[2].starts_with("t_"))) {
          ++batchRead;
          while (!serverReads && !over) std::this_thread::sleep_for(5ms);
        } else if (command[0] != "XREAD") {
          connection.send(command[0] == "PING" ? "+PONG\r\n" : ":1\r\n");
        }
      }
    });
    struct Release {  // lets a stalled script end before the server joins it, also on failure
      std::atomic<bool>& over;
      ~Release() { over = true; }
    } release{over};
    start(redis.address());
    ASSERT_TRUE(waitUntil([&] { return batchRead.load() >= (serverReads ? batchSize : 1); }, kPatience));
    std::this_thread::sleep_for(50ms);
    const auto begin = std::chrono::steady_clock::now();
    service->cleanup();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 200ms);
  }
}

}  // namespace
