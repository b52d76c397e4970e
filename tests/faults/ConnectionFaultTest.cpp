// Each of the service's three connections (data, command, registration), in each state where
// it can be hit, under each connection fault: a cut, a stall longer than the reply time-out,
// bytes that are not RESP, and a half-open link. A real redis-server sits behind the fault
// proxy. Every cell checks the ten attributes, the events, what Redis holds, and that the
// service recovers the way it should: the data connection only through the reconnect task,
// the command connection by itself while the data connection is up, and a failed registration
// only with the next data connection.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <map>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ormanta/host/Host.h"
#include "ormanta/host/Model.h"
#include "plugin/ErrorCategories.h"
#include "support/CommandPeer.h"
#include "support/FaultProxy.h"
#include "support/RedisClient.h"
#include "support/RedisServer.h"
#include "support/ServiceHarness.h"
#include "support/Wait.h"

namespace {

using namespace std::chrono_literals;
using namespace ormanta::plugins::TulService;
using namespace tul::test;
using ormanta::data::NativeType;
using Attr = ServiceAttribute;
using Clock = std::chrono::steady_clock;

enum class Conn { kData, kCommand, kRegistration };
// kAnsweringSet: the command connection writing a set's value echo, between two commands.
enum class State { kIdle, kBlockedInXread, kBatch, kAnsweringSet, kRegistrationRun };
enum class Hit { kCut, kStall, kGarbage, kHalfOpen };

struct Cell {
  Conn conn;
  State state;
  Hit hit;
};

// What a cell must show, decided by the connection hit and, for the command connection,
// by whether it was waiting for a reply.
enum class Outcome {
  kDataDown,            // both connections down, not registered; back only after the reconnect task
  kCommandDown,         // the command connection reconnects by itself; nothing else changes
  kCommandDelayed,      // a stall under a blocked XREAD only delays the next command
  kCommandSilent,       // half-open under a blocked XREAD: nothing waits for a reply, nothing notices
  kRegistrationFailed,  // shown, not retried; the next data connection registers anew
};

Outcome outcomeOf(const Cell& cell) {
  if (cell.conn != Conn::kCommand)
    return cell.conn == Conn::kData ? Outcome::kDataDown : Outcome::kRegistrationFailed;
  if (cell.hit == Hit::kCut || cell.hit == Hit::kGarbage || cell.state == State::kBatch ||
      cell.state == State::kAnsweringSet) {
    return Outcome::kCommandDown;
  }
  return cell.hit == Hit::kStall ? Outcome::kCommandDelayed : Outcome::kCommandSilent;
}

constexpr auto kStallTime = 1500ms;     // longer than the 1000 ms reply time-out
constexpr auto kReconnectHold = 600ms;  // keeps a reconnect in progress so that the outage can be seen
constexpr auto kRunHold = 800ms;        // keeps a registration run in progress, inside its reply time-out
const std::string kServiceRecord =
    R"({"dataPointsKey":"S.DataPoints","dataTypesKey":"S.DataTypes","cmdChn":"S.Commands"})";
// The large data pass: 2,000 text members of 4 KiB each, 8 MiB in one pipelined batch, more than
// the socket buffers hold once the proxy stops reading.
constexpr int kTanks = 40, kLevelsPerTank = 50;
constexpr std::size_t kLevelSize = 4096;
// The large registration batch: 3,000 data points.
constexpr int kPumps = 3000;
constexpr int kBurst = 60;  // set commands the command connection is answering when hit

constexpr LinkKind kKindOf[] = {LinkKind::kData, LinkKind::kCommand, LinkKind::kRegistration};

// Per hit: its name, the fault, and the text of the error it causes (a reply or write time-out
// for stall and half-open).
struct HitKind {
  const char* name;
  Fault fault;
  const char* cause;
};
const HitKind& hitOf(Hit hit) {
  static const HitKind kHits[] = {{"cut", Fault::cut(), "closed|reset|broken pipe"},
                                  {"stall", Fault::stall(kStallTime), "time"},
                                  {"garbage", Fault::garbage(), "corrupted"},
                                  {"halfOpen", Fault::halfOpen(), "time"}};
  return kHits[static_cast<int>(hit)];
}

void PrintTo(const Cell& cell, std::ostream* out) {
  static const char* const kConns[] = {"data", "command", "registration"};
  static const char* const kStates[] = {"idle", "blockedInXread", "batch", "answeringSet", "registrationRun"};
  *out << kConns[static_cast<int>(cell.conn)] << "_" << kStates[static_cast<int>(cell.state)] << "_"
       << hitOf(cell.hit).name;
}

// True when a record's error is the one the cell's fault causes.
bool causedBy(const Cell& cell, std::error_code code) {
  // 8 MiB into a link that stopped reading: the write gives up before any reply is awaited.
  if (cell.hit == Hit::kHalfOpen && cell.conn == Conn::kData && cell.state == State::kBatch) {
    return code == std::errc::timed_out;
  }
  return std::regex_search(code.message(), std::regex(hitOf(cell.hit).cause, std::regex::icase));
}

std::string levelName(int tank, int level) {
  return "S.Tank" + std::to_string(tank) + ".L" + std::to_string(level);
}
std::string levelValue(int tank, int level) {
  std::string text = "tank " + std::to_string(tank) + " level " + std::to_string(level) + " ";
  text.resize(kLevelSize, 'x');
  return text;
}
std::vector<std::string> levelNames() {
  std::vector<std::string> names;
  for (int i = 0; i < kTanks * kLevelsPerTank; ++i) {
    names.push_back(levelName(i / kLevelsPerTank, i % kLevelsPerTank));
  }
  return names;
}

// The ten attributes at one moment.
struct Snapshot {
  std::string address, serviceName;
  bool data, command, state, registered;
  std::error_code dataError, commandError, error, registrationError;
};

std::ostream& operator<<(std::ostream& out, const Snapshot& s) {
  return out << "\n  data " << s.data << " (" << s.dataError.message() << ")\n  command " << s.command << " ("
             << s.commandError.message() << ")\n  state " << s.state << " (" << s.error.message()
             << ")\n  registered " << s.registered << " (" << s.registrationError.message() << ")";
}

class ConnectionFault : public ::testing::TestWithParam<Cell> {
 protected:
  void SetUp() override {
    const Cell& cell = GetParam();
    auto& model = harness.model();
    model.addElement({"Boiler",
                      "",
                      {},
                      {{"Temp", NativeType::kDouble, ormanta::model::kAccessRead, 64, 20.5},
                       {"Count", NativeType::kInt, ormanta::model::kAccessReadWrite}}});
    if (cell.conn == Conn::kData && cell.state == State::kBatch) {
      for (int tank = 0; tank < kTanks; ++tank) {
        std::vector<ormanta::host::AttributeSpec> levels;
        for (int level = 0; level < kLevelsPerTank; ++level) {
          levels.emplace_back("L" + std::to_string(level), NativeType::kString, ormanta::model::kAccessRead,
                              64, levelValue(tank, level));
        }
        model.addElement({"Tank" + std::to_string(tank), "", {}, std::move(levels)});
      }
    }
    if (cell.conn == Conn::kRegistration && cell.state == State::kBatch) {
      for (int pump = 0; pump < kPumps; ++pump) {
        model.addElement({"Pump" + std::to_string(pump), "", {}, {{"Speed", NativeType::kDouble}}});
      }
    }
  }

  void TearDown() override {
    if (service) service->cleanup();
  }

  void start() {
    service = harness.create(serviceConfig(proxy.address(), "S"));
    // An idle data connection keeps itself alive every 200 ms, so that a fault on it shows within 1.2 s.
    service->dataHandler()->maxWaitMs = 200;
    service->prepare();
  }

  Snapshot snapshot() const {
    return {std::get<std::string>(readAttribute(*service, Attr::kAddress)),
            std::get<std::string>(readAttribute(*service, Attr::kServiceName)),
            flagAttribute(*service, Attr::kDataConnectionState),
            flagAttribute(*service, Attr::kCommandConnectionState),
            flagAttribute(*service, Attr::kState),
            flagAttribute(*service, Attr::kIsServiceRegistered),
            errorAttribute(*service, Attr::kDataConnectionError),
            errorAttribute(*service, Attr::kCommandConnectionError),
            errorAttribute(*service, Attr::kError),
            errorAttribute(*service, Attr::kServiceRegistrationError)};
  }

  // Both connections up, registered, and every record says so.
  static bool allGood(const Snapshot& s) {
    return s.data && s.command && s.state && s.registered && s.dataError == connectionError(0) &&
           s.commandError == connectionError(0) && s.error == generalConnectionError(0) &&
           s.registrationError == registrationError(RegistrationErrorCategory::kRegistered);
  }

  template <class Pred>
  ::testing::AssertionResult eventually(Pred pred, std::chrono::milliseconds timeout, const char* what) {
    std::vector<std::string> seen;  // every distinct state passed through, for the failure message
    const auto test = [&] {
      const Snapshot now = snapshot();
      std::ostringstream text;
      text << now;
      if (seen.empty() || seen.back() != text.str()) seen.push_back(text.str());
      return pred(now);
    };
    if (waitUntil(test, timeout)) return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << what << " within " << timeout.count() << " ms; seen:";
    for (const std::string& state : seen) failure << state << "\n  --";
    return failure << "\n  now:" << snapshot() << "\n  events " << connectedEvents() << " connected, "
                   << disconnectedEvents() << " disconnected; links (data, command, registration) "
                   << ::testing::PrintToString(links());
  }

  std::uint64_t connectedEvents() const { return service->connectedEvent().raiseCount(); }
  std::uint64_t disconnectedEvents() const { return service->disconnectedEvent().raiseCount(); }
  ::testing::AssertionResult events(std::uint64_t connected, std::uint64_t disconnected) {
    const auto counts = [&] { return std::pair(connectedEvents(), disconnectedEvents()); };
    if (waitUntil([&] { return counts() == std::pair(connected, disconnected); }, 2s))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "events: " << counts().first << " connected, " << counts().second << " disconnected; expected "
           << connected << " and " << disconnected;
  }
  // Links accepted so far: data, command, registration.
  using Links = std::array<int, 3>;
  Links links() const {
    return {proxy.accepted(LinkKind::kData), proxy.accepted(LinkKind::kCommand),
            proxy.accepted(LinkKind::kRegistration)};
  }
  std::string setCount(const std::string& value) {
    return commands.send({{"cmd", "set"}, {"name", "S.Boiler.Count"}, {"value", value}});
  }
  void reconnect() {
    ormanta::host::runTask(service->reconnectTask());
    ASSERT_TRUE(eventually(allGood, 5s, "not back after the reconnect task"));
  }
  void cutDataAndReconnect() {
    ASSERT_EQ(proxy.inject(kinds(LinkKind::kData), Fault::cut()), 1);
    ASSERT_TRUE(eventually([](const Snapshot& s) { return !s.data && !s.command; }, 3s, "no data cut seen"));
    ASSERT_NO_FATAL_FAILURE(reconnect());
    EXPECT_TRUE(events(2, 1));
  }
  void upAndIdle() {
    start();
    ASSERT_TRUE(eventually(allGood, 5s, "the service did not come up"));
    // Both links classified: the data worker has sent a request, the command worker waits in XREAD.
    ASSERT_TRUE(waitUntil([&] { return proxy.open(LinkKind::kData) == 1; }, 2s));
    ASSERT_TRUE(waitUntil([&] { return proxy.awaiting(LinkKind::kCommand, "XREAD"); }, 2s));
  }
  // A burst of set commands, hit at the 10th request that armed names.
  void sendBurst(const std::string& armed, const Fault& fault) {
    ASSERT_NO_FATAL_FAILURE(upAndIdle());
    proxy.arm(LinkKind::kCommand, armed, 10, fault);
    proxy.stallNewLinks(kReconnectHold);
    for (int i = 1; i <= kBurst; ++i) {
      burstIds.push_back(setCount(std::to_string(i)));
    }
  }
  void hitTheConnection(const Cell& cell);
  void expectOutageAndRecovery(const Cell& cell);
  void expectRedisContentsAndAWorkingService(const Cell& cell);

  RedisServer server;
  FaultProxy proxy{server.port()};
  RedisClient peer{server};
  CommandPeer commands{peer, "S"};
  ServiceHarness harness;
  std::shared_ptr<Service> service;  // destroyed before the harness's allocator
  Clock::time_point hitAt;
  std::vector<std::string> burstIds;
};

// Brings the connection into the cell's state and applies the fault there.
void ConnectionFault::hitTheConnection(const Cell& cell) {
  const Fault& fault = hitOf(cell.hit).fault;
  const LinkKind target = kKindOf[static_cast<int>(cell.conn)];
  const bool commandDown = outcomeOf(cell) == Outcome::kCommandDown;
  switch (cell.state) {
    case State::kIdle:
    case State::kBlockedInXread:
      ASSERT_NO_FATAL_FAILURE(upAndIdle());
      if (commandDown) proxy.stallNewLinks(kReconnectHold);
      ASSERT_EQ(proxy.inject(kinds(target), fault), 1);
      break;
    case State::kBatch:
      if (cell.conn == Conn::kRegistration) {
        // Halfway through the data point batch (after the service record and the two enumerations).
        proxy.arm(LinkKind::kRegistration, "HSET", 3 + kPumps / 2, fault);
        start();
      } else if (cell.conn == Conn::kData) {
        ASSERT_NO_FATAL_FAILURE(upAndIdle());
        proxy.arm(LinkKind::kData, "XADD", 100, fault);
        commands.subscribe("levels", levelNames(), "100");
      } else {
        // The responses go out in MULTI/EXEC batches: hit the 10th response of the burst.
        ASSERT_NO_FATAL_FAILURE(sendBurst("XADD S.Commands", fault));
      }
      ASSERT_TRUE(proxy.waitFired(10s)) << "the batch never reached the armed request";
      break;
    case State::kAnsweringSet:
      ASSERT_NO_FATAL_FAILURE(sendBurst("XADD SValue:S.Boiler.Count", fault));  // the 10th echo
      ASSERT_TRUE(proxy.waitFired(10s)) << "the burst never reached the armed request";
      break;
    case State::kRegistrationRun:
      if (cell.conn == Conn::kRegistration) {
        proxy.arm(LinkKind::kRegistration, "HDEL", 1, fault);  // the run's first request
        start();
        ASSERT_TRUE(proxy.waitFired(10s));
      } else if (cell.conn == Conn::kData) {
        // The first run, held at its data point batch (well inside the reply time-out): the
        // data connection is up, the command connection waits for the run to end.
        proxy.arm(LinkKind::kRegistration, "HSET", 4, Fault::stall(kRunHold));
        start();
        ASSERT_TRUE(proxy.waitFired(10s));
        ASSERT_TRUE(waitUntil([&] { return proxy.open(LinkKind::kData) == 1; }, 500ms));
        EXPECT_EQ(proxy.accepted(LinkKind::kCommand), 0)
            << "the command connection came up before the run ended";
        ASSERT_EQ(proxy.inject(kinds(target), fault), 1);
        ASSERT_TRUE(proxy.open(LinkKind::kRegistration) == 1) << "the run ended before the fault";
      } else {
        // A run while the command connection is up: the reconnect task's retry of a failed run.
        proxy.arm(LinkKind::kRegistration, "HDEL", 1, Fault::cut());
        start();
        ASSERT_TRUE(
            eventually([](const Snapshot& s) { return s.data && s.command && s.state && !s.registered; }, 5s,
                       "the first run did not fail with the service up"));
        ASSERT_TRUE(waitUntil([&] { return proxy.awaiting(LinkKind::kCommand, "XREAD"); }, 2s));
        proxy.arm(LinkKind::kRegistration, "HSET", 4, Fault::stall(kRunHold));
        ormanta::host::runTask(service->reconnectTask());
        ASSERT_TRUE(proxy.waitFired(10s));
        if (commandDown) proxy.stallNewLinks(kReconnectHold);
        ASSERT_EQ(proxy.inject(kinds(target), fault), 1);
        ASSERT_TRUE(proxy.open(LinkKind::kRegistration) == 1) << "the run ended before the fault";
      }
      break;
  }
  hitAt = Clock::now();
}

void ConnectionFault::expectOutageAndRecovery(const Cell& cell) {
  const auto causedBy = [&](std::error_code code) { return ::causedBy(cell, code); };
  switch (outcomeOf(cell)) {
    case Outcome::kDataDown: {
      ASSERT_TRUE(eventually(
          [&](const Snapshot& s) {
            return !s.data && causedBy(s.dataError) && !s.command && s.commandError != connectionError(0) &&
                   !s.state && s.error == generalConnectionError(3) && !s.registered &&
                   s.registrationError == registrationError(RegistrationErrorCategory::kPending);
          },
          8s, "the data fault was not reported"));  // a write into a half-open link ends after 3 s
      if (cell.state == State::kRegistrationRun) {
        // Up only if the first run ended before the fault was noticed (a stall takes a second).
        const std::uint64_t ups = connectedEvents();
        EXPECT_TRUE(events(ups, ups));
        // Reconnected while the old run may still be held: it ends under the new data connection
        // and must not count for it. The new run is held at its start meanwhile.
        proxy.arm(LinkKind::kRegistration, "HDEL", 1, Fault::stall(kRunHold));
        ormanta::host::runTask(service->reconnectTask());
        ASSERT_TRUE(proxy.waitFired(10s));
        const auto heldUntil = Clock::now() + kRunHold - 100ms;
        while (Clock::now() < heldUntil) {
          ASSERT_FALSE(snapshot().registered) << "a run of the old data connection counted for the new one";
          std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(eventually(allGood, 5s, "not back after the reconnect task"));
        EXPECT_EQ(proxy.accepted(LinkKind::kRegistration), 2) << "each data connection registers anew";
        EXPECT_TRUE(events(ups + 1, ups));
        break;
      }
      EXPECT_TRUE(events(1, 1));
      std::this_thread::sleep_for(300ms);
      EXPECT_EQ(service->dataHandler()->phase, kPhaseIdle) << "reconnected without the reconnect task";
      EXPECT_EQ(proxy.accepted(LinkKind::kData), 1);
      EXPECT_FALSE(snapshot().data);
      EXPECT_FALSE(snapshot().registered);
      ASSERT_NO_FATAL_FAILURE(reconnect());
      EXPECT_EQ(proxy.accepted(LinkKind::kRegistration), 2) << "each data connection registers anew";
      EXPECT_TRUE(events(2, 1));
      break;
    }
    case Outcome::kCommandDown:
      ASSERT_TRUE(eventually(
          [&](const Snapshot& s) {
            return s.data && !s.command && causedBy(s.commandError) && !s.state &&
                   s.error == generalConnectionError(2);
          },
          3s, "the command fault was not reported"));
      EXPECT_TRUE(events(1, 1));
      ASSERT_TRUE(eventually(allGood, 3s, "the command connection did not come back by itself"));
      proxy.stallNewLinks(0ms);
      // A run held while the command connection is up is a retry of a failed first one.
      EXPECT_EQ(links(), (Links{1, 2, cell.state == State::kRegistrationRun ? 2 : 1}));
      EXPECT_TRUE(events(2, 1));
      break;
    case Outcome::kCommandDelayed: {
      // A command sent during the stall is answered once it ends; nothing fails meanwhile.
      const std::string id = setCount("7");
      // The supervisor may not have folded the command connection's start into "state" yet.
      ASSERT_TRUE(eventually([](const Snapshot& s) { return s.data && s.command && s.state; }, 1s,
                             "the service was not up when the stall began"));
      while (Clock::now() < hitAt + kStallTime - 100ms) {
        const Snapshot s = snapshot();
        ASSERT_TRUE(s.data && s.command && s.state) << s;
        std::this_thread::sleep_for(50ms);
      }
      EXPECT_EQ(commands.response(id, 3s), success(id));
      EXPECT_TRUE(allGood(snapshot())) << snapshot();
      EXPECT_EQ(proxy.accepted(LinkKind::kCommand), 1);
      EXPECT_TRUE(events(1, 0));
      break;
    }
    case Outcome::kCommandSilent: {
      // The XREAD waits for its block time (far longer than this) plus the reply time-out, and TCP
      // keep-alive only ends a link whose far host is gone (here the proxy's kernel acknowledges):
      // for longer than the reply time-out no alarm, and a command goes unanswered.
      const std::string id = setCount("7");
      std::this_thread::sleep_for(1200ms);
      EXPECT_TRUE(allGood(snapshot())) << snapshot();
      EXPECT_TRUE(events(1, 0));
      EXPECT_FALSE(commands.response(id, 10ms));
      // A data connection failure ends the silent link too; the reconnect task brings both back.
      ASSERT_NO_FATAL_FAILURE(cutDataAndReconnect());
      EXPECT_EQ(proxy.accepted(LinkKind::kCommand), 2);
      break;
    }
    case Outcome::kRegistrationFailed:
      ASSERT_TRUE(eventually(
          [&](const Snapshot& s) {
            return s.data && s.command && s.state && s.error == generalConnectionError(0) && !s.registered &&
                   causedBy(s.registrationError);
          },
          6s, "the registration fault was not reported"));
      EXPECT_TRUE(events(1, 0));
      // Not retried: a stalled run is let go on the server side first (its requests still arrive).
      if (cell.hit == Hit::kStall) waitUntil([&] { return proxy.open(LinkKind::kRegistration) == 0; }, 3s);
      std::this_thread::sleep_for(500ms);
      EXPECT_EQ(proxy.accepted(LinkKind::kRegistration), 1) << "a failed run was retried";
      EXPECT_FALSE(snapshot().registered);
      // The next data connection registers anew.
      ASSERT_NO_FATAL_FAILURE(cutDataAndReconnect());
      EXPECT_EQ(proxy.accepted(LinkKind::kRegistration), 2);
      break;
  }
}

void ConnectionFault::expectRedisContentsAndAWorkingService(const Cell& cell) {
  const Snapshot s = snapshot();
  EXPECT_EQ(s.address, proxy.address());
  EXPECT_EQ(s.serviceName, "S");
  EXPECT_EQ(peer.hgetall("Services"), (std::map<std::string, std::string>{{"S", kServiceRecord}}));
  EXPECT_EQ(peer.integer({"HLEN", "S.DataPoints"}), static_cast<long long>(harness.model().elementCount()));
  EXPECT_EQ(peer.integer({"HEXISTS", "S.DataTypes", "e_quality"}), 1);

  if (!burstIds.empty()) {
    // Each command of the burst was run and answered exactly once, in order, as a success,
    // across the fault: the new connection resumes where the old one stopped.
    std::vector<std::string> answered;
    EXPECT_TRUE(waitUntil(
        [&] {
          answered.clear();
          for (const auto& entry : peer.xrange("S.Commands")) {
            const std::map<std::string, std::string> fields(entry.fields.begin(), entry.fields.end());
            if (!fields.contains("responseId")) continue;
            answered.push_back(fields.at("responseId"));
            EXPECT_EQ(fields.at("result"), "success") << answered.back() << ": " << fields.at("errorMessage");
          }
          return answered.size() >= burstIds.size();
        },
        5s));
    EXPECT_EQ(answered, burstIds);
    EXPECT_EQ(std::get<std::int64_t>(*harness.model().readValue("Boiler", "Count")), kBurst);
  }

  // Commands are answered and values published again.
  const std::string id = setCount("42");
  EXPECT_EQ(commands.response(id), success(id));
  harness.model().setValue("Boiler", "Temp", 30.5);
  const std::string subscribed = commands.subscribe("check", {"S.Boiler.Temp"}, "100");
  EXPECT_EQ(commands.response(subscribed), success(subscribed));
  EXPECT_TRUE(commands.lastValueIs("S.Boiler.Temp", "30.5", 3s));
  if (cell.conn == Conn::kData && cell.state == State::kBatch) {
    commands.subscribe("levels", levelNames(), "100");
    std::vector<std::string> missing;
    for (int i = 0; i < kTanks * kLevelsPerTank; ++i) {
      const int tank = i / kLevelsPerTank, level = i % kLevelsPerTank;
      if (!commands.lastValueIs(levelName(tank, level), levelValue(tank, level), missing.empty() ? 10s : 0s))
        missing.push_back(levelName(tank, level));
    }
    EXPECT_TRUE(missing.empty()) << missing.size() << " members lack their value, the first " << missing[0];
  }
}

TEST_P(ConnectionFault, IsReportedAndRecoveredFrom) {
  const Cell& cell = GetParam();
  ASSERT_NO_FATAL_FAILURE(hitTheConnection(cell));
  ASSERT_NO_FATAL_FAILURE(expectOutageAndRecovery(cell));
  expectRedisContentsAndAWorkingService(cell);
  if (outcomeOf(cell) == Outcome::kCommandSilent) {
    // A half-open command connection does not hold up cleanup.
    ASSERT_TRUE(waitUntil([&] { return proxy.awaiting(LinkKind::kCommand, "XREAD"); }, 2s));
    proxy.inject(kinds(LinkKind::kCommand), Fault::halfOpen());
    const auto start = Clock::now();
    service->cleanup();
    EXPECT_LT(Clock::now() - start, 1s);
  }
}

std::vector<Cell> cells() {
  const std::map<Conn, std::vector<State>> states = {
      {Conn::kData, {State::kIdle, State::kBatch, State::kRegistrationRun}},
      {Conn::kCommand,
       {State::kBlockedInXread, State::kBatch, State::kAnsweringSet, State::kRegistrationRun}},
      {Conn::kRegistration, {State::kRegistrationRun, State::kBatch}},
  };
  std::vector<Cell> result;
  for (const auto& [conn, connStates] : states) {
    for (State state : connStates) {
      for (Hit hit : {Hit::kCut, Hit::kStall, Hit::kGarbage, Hit::kHalfOpen})
        result.push_back({conn, state, hit});
    }
  }
  return result;
}

std::string cellName(const ::testing::TestParamInfo<Cell>& info) {
  return ::testing::PrintToString(info.param);
}

INSTANTIATE_TEST_SUITE_P(Matrix, ConnectionFault, ::testing::ValuesIn(cells()), cellName);

}  // namespace
