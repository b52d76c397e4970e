// The registration worker inside a running service element: when it registers, what it sends
// in which order, and what it publishes for success, failure, a stop and a wake-up while the
// data connection is down.

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ormanta/host/Host.h"
#include "ormanta/host/Model.h"
#include "plugin/ErrorCategories.h"
#include "registration/DataPointCatalogue.h"
#include "registration/RegistrationRecords.h"
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
using Clock = std::chrono::steady_clock;

constexpr auto kPatience = 15s;
constexpr std::string_view kDefaultName = "TULOrmantaService";

const std::string kBoilerType = R"([{"name":".On","type":"Bool","size":8,"access":"b","updateChn":".On"},)"
                                R"({"name":".Temp","type":"Real","size":64,"access":"r","updateChn":".Temp"}])";

std::string dataPointRecord(const std::string& name) {
  return R"({"name":")" + name + R"(","type":"t_1","size":72,"access":"b","updateChn":"TULOrmantaServiceValue:)" +
         name + R"("})";
}

std::string serviceRecord(std::string_view name) {
  const std::string s(name);
  return R"({"dataPointsKey":")" + s + R"(.DataPoints","dataTypesKey":")" + s + R"(.DataTypes","cmdChn":")" + s +
         R"(.Commands"})";
}

// Boiler and Pump under the root, each with a read-write Bool "On" and a read-only Real "Temp".
void addBoilerAndPump(ormanta::host::Model& model) {
  for (const char* key : {"Boiler", "Pump"}) {
    model.addElement({key, "", {}, {AttributeSpec("Temp", NativeType::kDouble, ormanta::model::kAccessRead, 64),
                                    AttributeSpec("On", NativeType::kBool, ormanta::model::kAccessReadWrite)}});
  }
}

bool registered(const Service& service) {
  return flagAttribute(service, ServiceAttribute::kIsServiceRegistered);
}

std::string registrationMessage(const Service& service) {
  return errorAttribute(service, ServiceAttribute::kServiceRegistrationError).message();
}

bool pending(const Service& service) {
  return !registered(service) &&
         errorAttribute(service, ServiceAttribute::kServiceRegistrationError) ==
             registrationError(RegistrationErrorCategory::kPending);
}

// The data point names in the order the service's catalogue lists them, which is the order in
// which a run sends them (the same walk of the same model fills the hash map the same way).
std::vector<std::string> catalogueOrder(const Service& service) {
  std::vector<std::string> names;
  for (const auto& entry : buildCatalogue(service)) names.push_back(entry.first);
  return names;
}

// The commands one run of the Boiler/Pump model sends, in order.
std::vector<Args> expectedRun(const Service& service) {
  const std::string s(kDefaultName);
  std::vector<Args> commands = {
      {"HDEL", "Services", s},
      {"DEL", s + ".Commands", s + ".DataTypes", s + ".DataPoints"},
      {"HSET", "Services", s, serviceRecord(s)},
      {"HSET", s + ".DataTypes", "e_quality", encodeEnumerationTypeRecord(qualityNames())},
      {"HSET", s + ".DataTypes", "e_elementCategory", encodeEnumerationTypeRecord(elementCategoryNames())},
      {"HSET", s + ".DataTypes", "t_1", kBoilerType}};
  for (const std::string& name : catalogueOrder(service)) {
    commands.push_back({"HSET", s + ".DataPoints", name, dataPointRecord(name)});
  }
  return commands;
}

bool isRegistrationCommand(const Args& command) {
  return !command.empty() && (command[0] == "HDEL" || command[0] == "DEL" || command[0] == "HSET");
}

// ---- MONITOR on a real server ----

// The arguments of one MONITOR line: 1700000000.123456 [0 127.0.0.1:5000] "HSET" "k" "a\"b"
Args parseMonitorLine(std::string_view line) {
  Args args;
  std::size_t pos = line.find("] ");
  if (pos == std::string_view::npos) return args;
  for (pos += 2; pos < line.size(); ++pos) {
    if (line[pos] != '"') continue;
    std::string arg;
    for (++pos; pos < line.size() && line[pos] != '"'; ++pos) {
      if (line[pos] != '\\' || pos + 1 == line.size()) {
        arg += line[pos];
        continue;
      }
      const char escaped = line[++pos];
      switch (escaped) {
        case 'n': arg += '\n'; break;
        case 'r': arg += '\r'; break;
        case 't': arg += '\t'; break;
        case 'a': arg += '\a'; break;
        case 'b': arg += '\b'; break;
        case 'x':
          arg += static_cast<char>(std::stoi(std::string(line.substr(pos + 1, 2)), nullptr, 16));
          pos += 2;
          break;
        default: arg += escaped;  // \\ and \"
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

// A MONITOR connection: every command the server executes, as its arguments.
class Monitor {
 public:
  explicit Monitor(int port) {
    context_ = redisConnectWithTimeout("127.0.0.1", port, timeval{3, 0});
    if (context_ == nullptr || context_->err != 0) throw std::runtime_error("monitor: cannot connect");
    redisSetTimeout(context_, timeval{5, 0});
    tul::test::ReplyPtr ok(static_cast<redisReply*>(redisCommand(context_, "MONITOR")));
    if (!ok || ok->type != REDIS_REPLY_STATUS) throw std::runtime_error("monitor: MONITOR refused");
  }
  ~Monitor() { redisFree(context_); }
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // The next executed command; empty when none comes within 5 s.
  Args next() {
    void* reply = nullptr;
    if (redisGetReply(context_, &reply) != REDIS_OK) return {};
    const tul::test::ReplyPtr line(static_cast<redisReply*>(reply));
    if (line->type != REDIS_REPLY_STATUS) return {};
    return parseMonitorLine(std::string_view(line->str, line->len));
  }

  // The first count registration commands (HDEL, DEL, HSET), skipping the others' traffic.
  std::vector<Args> registrationCommands(std::size_t count) {
    std::vector<Args> commands;
    while (commands.size() < count) {
      Args command = next();
      if (command.empty()) break;
      if (isRegistrationCommand(command)) commands.push_back(std::move(command));
    }
    return commands;
  }

 private:
  redisContext* context_ = nullptr;
};

// ---- a recording fake server ----

// Answers PING, HDEL, DEL and HSET (with answerHset) and nothing else. Replies are held back
// until the client has been quiet for a moment, so that every group of requests that arrives
// without waiting for a reply, a pipelined batch, is recorded as one group.
class RecordingRedis {
 public:
  struct Group {
    int connection;
    std::vector<Args> commands;
  };
  using HsetAnswer = std::function<std::string(const Args&)>;

  explicit RecordingRedis(HsetAnswer answerHset = [](const Args&) { return std::string(":1\r\n"); })
      : answerHset_(std::move(answerHset)), server_([this](tul::test::FakeConnection& connection) { serve(connection); }) {}

  std::string address() const { return server_.address(); }
  std::vector<std::string> scriptErrors() const { return server_.scriptErrors(); }

  // The groups of the connection that began with HDEL: the registration's.
  std::vector<std::vector<Args>> registrationGroups() const {
    std::lock_guard lock(mutex_);
    std::optional<int> registration;
    std::vector<std::vector<Args>> groups;
    for (const Group& group : groups_) {
      if (!registration && group.commands.front().front() == "HDEL") registration = group.connection;
      if (registration == group.connection) groups.push_back(group.commands);
    }
    return groups;
  }

 private:
  static constexpr auto kQuiet = 100ms;
  static constexpr auto kIdle = 1000ms;

  std::string replyTo(const Args& command) const {
    if (command[0] == "PING") return "+PONG\r\n";
    if (command[0] == "HDEL" || command[0] == "DEL") return ":1\r\n";
    if (command[0] == "HSET") return answerHset_(command);
    return {};  // anything else waits for ever, as a stalled server would
  }

  void serve(tul::test::FakeConnection& connection) {
    const int id = connections_++;
    std::vector<Args> held;
    for (;;) {
      const auto timeout = held.empty() ? kIdle : kQuiet;
      const auto start = Clock::now();
      Args command = connection.readCommand(std::chrono::duration_cast<std::chrono::milliseconds>(timeout));
      if (!command.empty()) {
        held.push_back(std::move(command));
        continue;
      }
      // An early empty read means the client closed or the server is going away.
      if (Clock::now() - start < timeout / 2) return;
      if (held.empty()) continue;
      std::string replies;
      for (const Args& each : held) replies += replyTo(each);
      {
        std::lock_guard lock(mutex_);
        groups_.push_back({id, std::move(held)});
      }
      held.clear();
      if (!connection.send(replies)) return;
    }
  }

  HsetAnswer answerHset_;
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::vector<Group> groups_;  // guarded by mutex_
  tul::test::FakeServer server_;  // last: its threads stop before the rest goes
};

// ---- fixture ----

class RegistrationWorkerTest : public ::testing::Test {
 protected:
  std::shared_ptr<Service> start(const std::string& address, std::string_view serviceName = "") {
    service = harness.create(tul::test::serviceConfig(address, serviceName));
    service->prepare();
    return service;
  }

  void TearDown() override {
    if (service) service->cleanup();
  }

  tul::test::ServiceHarness harness;
  std::shared_ptr<Service> service;
};

// ---- against a real server ----

TEST_F(RegistrationWorkerTest, FirstDataConnectionIsFollowedByOneRunThatWritesEveryRecord) {
  tul::test::RedisServer server;
  tul::test::RedisClient client(server);
  addBoilerAndPump(harness.model());
  start(server.address());
  ASSERT_TRUE(waitUntil([&] { return registered(*service); }, kPatience)) << registrationMessage(*service);
  EXPECT_EQ(registrationMessage(*service), "the service is successfully registered");
  EXPECT_EQ(errorAttribute(*service, ServiceAttribute::kServiceRegistrationError),
            registrationError(RegistrationErrorCategory::kRegistered));

  const std::string s(kDefaultName);
  EXPECT_EQ(client.hgetall("Services"), (Hash{{s, serviceRecord(s)}}));
  EXPECT_EQ(client.hgetall(s + ".DataTypes"),
            (Hash{{"e_quality", encodeEnumerationTypeRecord(qualityNames())},
                  {"e_elementCategory", encodeEnumerationTypeRecord(elementCategoryNames())},
                  {"t_1", kBoilerType}}));
  EXPECT_EQ(client.hgetall(s + ".DataPoints"),
            (Hash{{s + ".Boiler", dataPointRecord(s + ".Boiler")}, {s + ".Pump", dataPointRecord(s + ".Pump")}}));
}

TEST_F(RegistrationWorkerTest, ServerSeesTheRunsCommandsInTheirOrder) {
  tul::test::RedisServer server;
  Monitor monitor(server.port());
  addBoilerAndPump(harness.model());
  start(server.address());
  const std::vector<Args> expected = expectedRun(*service);
  EXPECT_EQ(monitor.registrationCommands(expected.size()), expected);
  EXPECT_TRUE(waitUntil([&] { return registered(*service); }, kPatience));
}

TEST_F(RegistrationWorkerTest, UndescribableMemberFailsTheRunAfterTheEnumerationTypes) {
  struct Case {
    AttributeSpec attribute;
    std::string message;
  };
  const Case cases[] = {{AttributeSpec("future", NativeType(16), ormanta::model::kAccessRead), "Unsupported native type"},
                        {AttributeSpec("odd", NativeType::kBool, 7), "Unknown access modifier"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    tul::test::RedisServer server;
    tul::test::RedisClient client(server);
    tul::test::ServiceHarness local;
    addBoilerAndPump(local.model());
    local.model().addElement({"Broken", "", {}, {c.attribute}});
    auto broken = local.create(tul::test::serviceConfig(server.address(), "S"));
    broken->prepare();
    ASSERT_TRUE(waitUntil([&] { return registrationMessage(*broken) == c.message; }, kPatience))
        << registrationMessage(*broken);
    EXPECT_FALSE(registered(*broken));
    EXPECT_EQ(client.hgetall("Services"), (Hash{{"S", serviceRecord("S")}}));
    EXPECT_EQ(client.hgetall("S.DataTypes"),
              (Hash{{"e_quality", encodeEnumerationTypeRecord(qualityNames())},
                    {"e_elementCategory", encodeEnumerationTypeRecord(elementCategoryNames())}}));
    EXPECT_FALSE(client.exists("S.DataPoints"));
    broken->cleanup();
  }
}

TEST_F(RegistrationWorkerTest, ErrorReplyOfTheServerIsPublishedAsTheRunsError) {
  tul::test::RedisServer server;
  tul::test::RedisClient client(server);
  client.str({"SET", "Services", "a peer's string"});
  start(server.address());
  ASSERT_TRUE(waitUntil(
      [&] { return registrationMessage(*service) == "WRONGTYPE Operation against a key holding the wrong kind of value"; },
      kPatience))
      << registrationMessage(*service);
  EXPECT_FALSE(registered(*service));
}

TEST_F(RegistrationWorkerTest, RebuiltDataConnectionRegistersAgainFromScratch) {
  tul::test::RedisServer server;
  addBoilerAndPump(harness.model());
  start(server.address());
  ASSERT_TRUE(waitUntil([&] { return registered(*service); }, kPatience));

  server.stop();
  ASSERT_TRUE(waitUntil([&] { return !flagAttribute(*service, ServiceAttribute::kDataConnectionState); }, kPatience));
  EXPECT_TRUE(registered(*service)) << "the record shows the last outcome until the next wake-up";
  server.start();
  // Left by an earlier registration of the service: all of it must go.
  tul::test::RedisClient client(server);
  const std::string s(kDefaultName);
  client.command({"HSET", "Services", s, "stale", "Other", "kept"});
  client.command({"HSET", s + ".DataPoints", s + ".Gone", "{}"});
  client.command({"HSET", s + ".DataTypes", "t_7", "[]"});
  client.command({"XADD", s + ".Commands", "*", "cmd", "set"});
  // The model changed meanwhile; only the next run describes the new element.
  harness.model().addElement({"Valve", "", {}, {AttributeSpec("Open", NativeType::kBool)}});

  ormanta::host::runTask(service->reconnectTask);
  ASSERT_TRUE(waitUntil(
      [&] {
        const Hash points = client.hgetall(s + ".DataPoints");
        return points.size() == 3 && points.contains(s + ".Valve") && client.hgetall("Services")[s] != "stale";
      },
      kPatience));
  EXPECT_TRUE(waitUntil([&] { return registered(*service); }, kPatience));
  EXPECT_EQ(client.hgetall("Services"), (Hash{{s, serviceRecord(s)}, {"Other", "kept"}}));
  const Hash types = client.hgetall(s + ".DataTypes");
  EXPECT_FALSE(types.contains("t_7"));
  EXPECT_EQ(types.size(), 4u) << "two enumerations and two structure types";
  EXPECT_FALSE(client.exists(s + ".Commands"));
  EXPECT_FALSE(client.hgetall(s + ".DataPoints").contains(s + ".Gone"));
}

TEST_F(RegistrationWorkerTest, StopPublishesPendingAfterASuccess) {
  tul::test::RedisServer server;
  start(server.address());
  ASSERT_TRUE(waitUntil([&] { return registered(*service); }, kPatience));
  service->cleanup();
  EXPECT_FALSE(service->registrationHandler->worker.joinable());
  EXPECT_TRUE(pending(*service)) << registrationMessage(*service);
  EXPECT_FALSE(service->registrationHandler->registered.load());
}

TEST_F(RegistrationWorkerTest, StopBeforeAnyWakeUpLeavesPending) {
  start(std::string(tul::test::kClosedAddress));
  service->cleanup();
  EXPECT_TRUE(pending(*service)) << registrationMessage(*service);
}

TEST_F(RegistrationWorkerTest, WakeUpWhileTheDataConnectionIsDownPublishesPendingAndRegistersNothing) {
  tul::test::RedisServer server;
  addBoilerAndPump(harness.model());
  start(server.address());
  ASSERT_TRUE(waitUntil([&] { return registered(*service); }, kPatience));
  server.stop();
  ASSERT_TRUE(waitUntil([&] { return !flagAttribute(*service, ServiceAttribute::kDataConnectionState); }, kPatience));
  server.start();  // empty again; a run would fill it before publishing anything

  service->registrationHandler->wakeup.notify_all();
  ASSERT_TRUE(waitUntil([&] { return pending(*service); }, kPatience)) << registrationMessage(*service);
  tul::test::RedisClient client(server);
  EXPECT_EQ(client.integer({"DBSIZE"}), 0);
}

// ---- against a scripted server ----

TEST_F(RegistrationWorkerTest, RunSendsEachStepAloneThenTheRecordsInOneBatch) {
  RecordingRedis redis;
  addBoilerAndPump(harness.model());
  start(redis.address());
  ASSERT_TRUE(waitUntil([&] { return registered(*service); }, kPatience)) << registrationMessage(*service);

  const std::vector<Args> expected = expectedRun(*service);
  const std::vector<std::vector<Args>> expectedGroups = {
      {expected[0]}, {expected[1]}, {expected[2]}, {expected[3]}, {expected[4]},
      {expected[5], expected[6], expected[7]}};
  EXPECT_EQ(redis.registrationGroups(), expectedGroups);
  service->cleanup();
  EXPECT_TRUE(redis.scriptErrors().empty());
}

TEST_F(RegistrationWorkerTest, ErrorReplyToTheBatchIsPublishedAndNotRegistered) {
  RecordingRedis redis([](const Args& command) {
    return command.size() > 2 && command[2] == "t_1" ? std::string("-ERR batch refused\r\n") : std::string(":1\r\n");
  });
  addBoilerAndPump(harness.model());
  start(redis.address());
  ASSERT_TRUE(waitUntil([&] { return registrationMessage(*service) == "ERR batch refused"; }, kPatience))
      << registrationMessage(*service);
  EXPECT_FALSE(registered(*service));
  EXPECT_FALSE(service->registrationHandler->registered.load());
  const auto groups = redis.registrationGroups();
  ASSERT_FALSE(groups.empty());
  EXPECT_EQ(groups.back().size(), 3u) << "the whole batch went out before the first reply was read";
}

}  // namespace
