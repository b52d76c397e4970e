// The command worker end to end: a peer writes command entries into "S.Commands" and reads
// the responses and value streams, against a private redis-server.

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "commands/Channel.h"
#include "commands/SetCommand.h"
#include "ormanta/host/Host.h"
#include "plugin/ErrorCategories.h"
#include "support/CommandPeer.h"
#include "support/LiveService.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using namespace ormanta;
using namespace ormanta::plugins::TulService;
using data::NativeType;
using tul::test::CommandPeer;
using tul::test::success;
using tul::test::waitUntil;
using Response = std::map<std::string, std::string>;
using RedisClientFields = tul::test::RedisClient::Fields;

class CommandWorkerTest : public tul::test::LiveServiceTest {
 protected:
  void SetUp() override {
    const auto rw = model::kAccessReadWrite;
    harness.model().addElement({"Boiler", "", {},
                                {{"On", NativeType::kBool, rw},
                                 {"Count", NativeType::kInt, rw},
                                 {"Small", NativeType::kInt, rw, 16},
                                 {"Level", NativeType::kUInt, rw},
                                 {"Temp", NativeType::kDouble, model::kAccessRead, 64, 20.5},
                                 {"Setpoint", NativeType::kDouble, rw, 64, 21.0},
                                 {"Label", NativeType::kString, rw},
                                 {"Since", NativeType::kTimePoint, rw},
                                 {"Id", NativeType::kUuid, rw},
                                 {"Quality", NativeType::kQuality, rw},
                                 {"Category", NativeType::kCategory, rw},
                                 {"Fault", NativeType::kErrorCode, rw},
                                 {"Blob", NativeType::kBinary, rw}}});
  }

  void startService(const std::function<void(Service&)>& tune = {}) {
    start("S", tune);
    commands = std::make_unique<CommandPeer>(*peer, "S");
  }

  Response set(const std::string& name, const std::string& value) {
    return commands->call({{"cmd", "set"}, {"name", name}, {"value", value}});
  }
  Response error(const std::string& id, const std::string& message) {
    return {{"responseId", id}, {"result", "error"}, {"errorMessage", message}};
  }
  data::Value value(const std::string& attribute) { return *harness.model().readValue("Boiler", attribute); }

  std::shared_ptr<Channel> channel(const std::string& name) {
    std::lock_guard lock(service->channelMutex);
    auto found = service->channelMap.find(name);
    return found == service->channelMap.end() ? nullptr : found->second;
  }

  std::unique_ptr<CommandPeer> commands;
};

// ---- protocol ----

TEST_F(CommandWorkerTest, ResponsesCarryExactlyTheirFieldsAndTheCommandsId) {
  startService();
  const std::string ok = commands->send({{"cmd", "set"}, {"name", "S.Boiler.Count"}, {"value", "5"}});
  EXPECT_EQ(commands->response(ok), success(ok));
  const std::string bad = commands->send({{"cmd", "SET"}, {"name", "S.Boiler.Count"}, {"value", "6"}});
  EXPECT_EQ(commands->response(bad), error(bad, "unknown command type received"));
  EXPECT_EQ(std::get<std::int64_t>(value("Count")), 5);
}

TEST_F(CommandWorkerTest, EntriesWithoutCmdAndCommandEntriesGetNoResponse) {
  startService();
  const std::string silent = commands->send({{"cmd", "command"}, {"x", "1"}});
  const std::string plain = commands->send({{"note", "not a command"}});
  const std::string last = commands->send({{"cmd", "set"}, {"name", "S.Boiler.On"}, {"value", "true"}});
  ASSERT_EQ(commands->response(last), success(last));
  EXPECT_FALSE(commands->response(silent, 100ms));
  EXPECT_FALSE(commands->response(plain, 100ms));
}

TEST_F(CommandWorkerTest, TwoCommandsInOneBurstAreBothHandledInStreamOrder) {
  startService();
  peer->command({"MULTI"});
  peer->command({"XADD", "S.Commands", "*", "cmd", "set", "name", "S.Boiler.Label", "value", "first"});
  peer->command({"XADD", "S.Commands", "*", "cmd", "set", "name", "S.Boiler.Label", "value", "second"});
  auto ids = peer->command({"EXEC"});
  ASSERT_EQ(ids->elements, 2u);
  const std::string first(ids->element[0]->str), second(ids->element[1]->str);
  EXPECT_EQ(commands->response(first), success(first));
  EXPECT_EQ(commands->response(second), success(second));
  EXPECT_EQ(std::get<std::string>(value("Label")), "second");
  EXPECT_EQ(commands->values("S.Boiler.Label"), (std::vector<std::string>{"first", "second"}));
}

TEST_F(CommandWorkerTest, OwnResponsesDoNotEndTheReadEarly) {
  startService([](Service& s) { s.dataHandler->maxWaitMs = 60000; });  // no data keep-alive in the window
  peer->command({"CONFIG", "RESETSTAT"});
  const std::string id = commands->send({{"cmd", "set"}, {"name", "S.Boiler.On"}, {"value", "true"}});
  ASSERT_EQ(commands->response(id), success(id));
  std::this_thread::sleep_for(300ms);
  auto stats = peer->commandStats();
  EXPECT_EQ(stats["ping"], 0);     // a read ended early would be followed by a PING
  EXPECT_GE(stats["xread"], 2);    // the worker reads on after its response
}

TEST_F(CommandWorkerTest, EveryReadNamesAnExplicitIdSoNoEntryIsSkipped) {
  startService([](Service& s) { s.commandHandler->maxWaitMs = 50; });  // many short reads
  // Watch the server's command log for a while: "$" would skip entries added between two reads.
  redisContext* monitor = redisConnect("127.0.0.1", server.port());
  ASSERT_TRUE(monitor && !monitor->err);
  timeval timeout{0, 400'000};
  redisSetTimeout(monitor, timeout);
  freeReplyObject(redisCommand(monitor, "MONITOR"));
  // Reads before and after the first command: the first one must not be "$" either.
  std::string id;
  int reads = 0;
  const auto start = std::chrono::steady_clock::now();
  for (void* reply = nullptr;
       std::chrono::steady_clock::now() < start + 400ms && redisGetReply(monitor, &reply) == REDIS_OK;
       freeReplyObject(reply)) {
    if (id.empty() && std::chrono::steady_clock::now() > start + 200ms) {
      id = commands->send({{"cmd", "set"}, {"name", "S.Boiler.On"}, {"value", "true"}});
    }
    const std::string line = static_cast<redisReply*>(reply)->str;
    if (line.find("\"XREAD\"") == std::string::npos) continue;
    ++reads;
    EXPECT_EQ(line.find("\"$\""), std::string::npos) << line;
  }
  redisFree(monitor);
  EXPECT_GE(reads, 3);
  EXPECT_EQ(commands->response(id), success(id));
}

// ---- set ----

TEST_F(CommandWorkerTest, SetWritesEveryWritableTypeAndEchoesTheText) {
  startService();
  const std::string uuid = "595e1ee2-95ca-4ce0-883f-535893cb4b7c";
  EXPECT_EQ(set("S.Boiler.On", "true")["result"], "success");
  EXPECT_EQ(set("S.Boiler.Count", "-42")["result"], "success");
  EXPECT_EQ(set("S.Boiler.Level", "18446744073709551615")["result"], "success");
  EXPECT_EQ(set("S.Boiler.Setpoint", "1e3")["result"], "success");
  EXPECT_EQ(set("S.Boiler.Label", "")["result"], "success");
  EXPECT_EQ(set("S.Boiler.Id", uuid)["result"], "success");
  EXPECT_EQ(set("S.Boiler.Quality", "Bad")["result"], "success");
  EXPECT_EQ(set("S.Boiler.Category", "Pump")["result"], "success");

  EXPECT_EQ(std::get<bool>(value("On")), true);
  EXPECT_EQ(std::get<std::int64_t>(value("Count")), -42);
  EXPECT_EQ(std::get<std::uint64_t>(value("Level")), 18446744073709551615ULL);
  EXPECT_EQ(std::get<double>(value("Setpoint")), 1000.0);
  EXPECT_EQ(std::get<std::string>(value("Label")), "");
  EXPECT_EQ(std::get<utils::core::Uuid>(value("Id")).toString(), uuid);
  EXPECT_EQ(std::get<data::Quality>(value("Quality")), data::Quality::kBad);
  EXPECT_EQ(std::get<model::ElementCategory>(value("Category")), model::ElementCategory::kPump);
  EXPECT_EQ(commands->values("S.Boiler.Setpoint"), std::vector<std::string>{"1e3"});  // the peer's text
  EXPECT_EQ(commands->values("S.Boiler.Label"), std::vector<std::string>{""});
  // A zero byte is a byte like any other: the text member gets all of them, and so does the echo.
  EXPECT_EQ(set("S.Boiler.Label", "a\0b"s)["result"], "success");
  EXPECT_EQ(std::get<std::string>(value("Label")), "a\0b"s);
  EXPECT_EQ(commands->values("S.Boiler.Label").back(), "a\0b"s);
}

TEST_F(CommandWorkerTest, TextsThatDoNotConvertAreRefusedNotWrittenAndNotEchoed) {
  startService();
  // A number, UUID or name must be the whole text: a value read from a part of it is refused.
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"S.Boiler.Count", "abc"},           {"S.Boiler.Count", "99999999999999999999"},
      {"S.Boiler.Count", "12abc"},         {"S.Boiler.Count", "1.5"},
      {"S.Boiler.Count", "7\0"s},          {"S.Boiler.Count", "+7"},
      {"S.Boiler.Level", "-5"},            {"S.Boiler.Level", "5 "},
      {"S.Boiler.Setpoint", "+1"},         {"S.Boiler.Setpoint", "82,5"},
      {"S.Boiler.Setpoint", " 1"},         {"S.Boiler.Setpoint", "1e999"},
      {"S.Boiler.Setpoint", "1e3x"},       {"S.Boiler.Id", "not-a-uuid"},
      {"S.Boiler.Quality", "bad"},         {"S.Boiler.Quality", "Bad\0"s},
      {"S.Boiler.Category", "pump"},       {"Boiler.Count", "x"}};
  for (const auto& [name, text] : refused) {
    const std::string id = commands->send({{"cmd", "set"}, {"name", name}, {"value", text}});
    EXPECT_EQ(commands->response(id),
              error(id, "'set' command failed. Value '" + text + "' cannot be converted for " + name + "."));
  }
  EXPECT_EQ(std::get<std::int64_t>(value("Count")), 0);
  EXPECT_EQ(std::get<std::uint64_t>(value("Level")), 0u);
  EXPECT_EQ(std::get<double>(value("Setpoint")), 21.0);
  EXPECT_EQ(std::get<data::Quality>(value("Quality")), data::Quality::kGood);
  for (const char* member : {"S.Boiler.Count", "S.Boiler.Level", "S.Boiler.Setpoint", "S.Boiler.Id"}) {
    EXPECT_TRUE(commands->values(member).empty()) << member;
  }
}

TEST_F(CommandWorkerTest, ZeroBytesCountAndErrorTextsQuoteAtMost256BytesOfPeerInput) {
  startService();
  const std::string zeroCmd = commands->send({{"cmd", "set\0x"s}, {"name", "S.Boiler.Count"}, {"value", "1"}});
  EXPECT_EQ(commands->response(zeroCmd), error(zeroCmd, "unknown command type received"));
  const std::string zeroName = commands->send({{"cmd", "set"}, {"name", "S.Boiler.Count\0x"s}, {"value", "2"}});
  EXPECT_EQ(commands->response(zeroName), error(zeroName, "'set' command failed. No channel S.Boiler.Count\0x exists."s));
  EXPECT_EQ(std::get<std::int64_t>(value("Count")), 0) << "neither command may reach the member";

  const std::string huge(1024 * 1024, '7');  // digits, but beyond any 64-bit number
  const std::string hugeValue = commands->send({{"cmd", "set"}, {"name", "S.Boiler.Count"}, {"value", huge}});
  EXPECT_EQ(commands->response(hugeValue),
            error(hugeValue, "'set' command failed. Value '" + std::string(256, '7') +
                                 "\u2026' cannot be converted for S.Boiler.Count."));
  const std::string longName = "S.Boiler." + std::string(1000, 'n');
  const std::string unknown = commands->send({{"cmd", "set"}, {"name", longName}, {"value", "1"}});
  EXPECT_EQ(commands->response(unknown),
            error(unknown, "'set' command failed. No channel " + longName.substr(0, 256) + "\u2026 exists."));
}

TEST(QuotedInputTest, LongTextsAreCutAtASequenceStartAndMarked) {
  const std::string ellipsis = "\u2026";
  EXPECT_EQ(quotedInput(std::string(256, 'a')), std::string(256, 'a'));
  EXPECT_EQ(quotedInput(std::string(257, 'a')), std::string(256, 'a') + ellipsis);
  // "\u00e9" is two bytes and "\U0001F600" four; none may be split by the cut.
  const std::string e = "\u00e9", smile = "\U0001F600";
  EXPECT_EQ(quotedInput(std::string(255, 'a') + e + "z"), std::string(255, 'a') + ellipsis);
  EXPECT_EQ(quotedInput(std::string(254, 'a') + e + "z"), std::string(254, 'a') + e + ellipsis);
  for (std::size_t before : {253u, 254u, 255u}) {
    EXPECT_EQ(quotedInput(std::string(before, 'a') + smile + "z"), std::string(before, 'a') + ellipsis) << before;
  }
  EXPECT_EQ(quotedInput(std::string(252, 'a') + smile + "z"), std::string(252, 'a') + smile + ellipsis);
  // Not UTF-8 at all: still at most 256 bytes, cut no more than three bytes early.
  EXPECT_EQ(quotedInput(std::string(300, '\x80')), std::string(253, '\x80') + ellipsis);
}

TEST_F(CommandWorkerTest, TypesThatCannotBeWrittenAreRefusedWithTheirReason) {
  startService();
  struct Case {
    std::string name, text, message;
  };
  const std::vector<Case> cases = {
      {"S.Boiler.On", "TRUE", "Only \"true\" and \"false\" values are supported"},
      {"S.Boiler.Since", "2026-01-01T00:00:00Z", "The TimePoint attribute is not supported for writing"},
      {"S.Boiler.Fault", "0", "The ErrorCode attribute is not supported for writing"},
      {"S.Boiler.Blob", "x", "The attribute is not supported for writing"},
      {"S.Boiler.Temp", "1", "Error writing to a Ormanta data point: Permission denied"},
      {"S.Boiler.Small", "40000",
       "Error writing to a Ormanta data point: the value does not fit the attribute's bit size"}};
  for (const Case& c : cases) {
    const std::string id = commands->send({{"cmd", "set"}, {"name", c.name}, {"value", c.text}});
    EXPECT_EQ(commands->response(id), error(id, c.message)) << c.name;
  }
  EXPECT_EQ(std::get<double>(value("Temp")), 20.5);
  EXPECT_TRUE(commands->values("S.Boiler.Temp").empty());
}

TEST_F(CommandWorkerTest, NamesResolveWithOrWithoutTheWholeServicePrefix) {
  startService();
  EXPECT_EQ(set("Boiler.Count", "7")["result"], "success");
  EXPECT_EQ(std::get<std::int64_t>(value("Count")), 7);
  EXPECT_EQ(commands->values("Boiler.Count"), std::vector<std::string>{"7"});  // echoed under the name given
  const std::string id = commands->send({{"cmd", "set"}, {"name", "SBoiler.Count"}, {"value", "8"}});
  EXPECT_EQ(commands->response(id), error(id, "'set' command failed. No channel SBoiler.Count exists."));
}

TEST_F(CommandWorkerTest, SetStopsAtTheFirstUnknownNameKeepingEarlierWrites) {
  startService();
  const std::string id = commands->send({{"cmd", "set"},
                                         {"name", "S.Boiler.Count"},
                                         {"name", "S.Boiler.Nope"},
                                         {"name", "S.Boiler.Label"},
                                         {"value", "1"},
                                         {"value", "2"},
                                         {"value", "3"}});
  EXPECT_EQ(commands->response(id), error(id, "'set' command failed. No channel S.Boiler.Nope exists."));
  EXPECT_EQ(std::get<std::int64_t>(value("Count")), 1);
  EXPECT_EQ(std::get<std::string>(value("Label")), "");
  EXPECT_EQ(commands->values("S.Boiler.Count"), std::vector<std::string>{"1"});
}

TEST_F(CommandWorkerTest, MalformedSetCommandsChangeNothing) {
  startService();
  const std::string sizes = commands->send(
      {{"cmd", "set"}, {"name", "S.Boiler.Count"}, {"name", "S.Boiler.On"}, {"value", "1"}});
  EXPECT_EQ(commands->response(sizes),
            error(sizes, "Invalid set command received. \"name\" and \"value\" fields have different sizes"));
  const std::string noName = commands->send({{"cmd", "set"}, {"value", "1"}});
  EXPECT_EQ(commands->response(noName), error(noName, "Invalid set command received. \"name\" field missing"));
  const std::string noValue = commands->send({{"cmd", "set"}, {"name", "S.Boiler.Count"}});
  EXPECT_EQ(commands->response(noValue), error(noValue, "Invalid set command received. \"value\" field missing"));
  EXPECT_EQ(std::get<std::int64_t>(value("Count")), 0);
}

// ---- subscribe ----

TEST_F(CommandWorkerTest, SubscribedMembersArePublishedAndUnknownNamesIgnored) {
  startService();
  const std::string id = commands->send({{"cmd", "subscribe"},
                                         {"subscriptionId", "p1"},
                                         {"samplingInterval", "200"},
                                         {"name", "S.Boiler.Temp"},
                                         {"name", "S.Boiler.Missing"}});
  EXPECT_EQ(commands->response(id), success(id));
  ASSERT_TRUE(waitUntil([&] { return commands->values("S.Boiler.Temp") == std::vector<std::string>{"20.5"}; }, 2s));
  EXPECT_EQ(channel("S.Boiler.Missing"), nullptr);
  ASSERT_NE(channel("S.Boiler.Temp"), nullptr);
  EXPECT_EQ(channel("S.Boiler.Temp")->samplingInterval(), 200);
  harness.model().setValue("Boiler", "Temp", 25.0);
  EXPECT_TRUE(waitUntil([&] { return commands->values("S.Boiler.Temp").size() == 2; }, 2s));
}

TEST_F(CommandWorkerTest, SharedChannelRunsAtTheShortestIntervalAndIsRetunedWhenASubscriptionEnds) {
  startService();
  auto subscribe = [&](const std::string& id, const std::string& interval, bool withName) {
    RedisClientFields fields = {{"cmd", "subscribe"}, {"subscriptionId", id}, {"samplingInterval", interval}};
    if (withName) fields.emplace_back("name", "S.Boiler.Setpoint");
    return commands->call(fields)["result"];
  };
  EXPECT_EQ(subscribe("A", "1000", true), "success");
  EXPECT_EQ(channel("S.Boiler.Setpoint")->samplingInterval(), 500);
  EXPECT_EQ(subscribe("B", "200", true), "success");
  EXPECT_EQ(channel("S.Boiler.Setpoint")->samplingInterval(), 200);
  EXPECT_EQ(subscribe("B", "50", true), "success");  // renewal with the same names
  EXPECT_EQ(channel("S.Boiler.Setpoint")->samplingInterval(), 200);
  EXPECT_EQ(subscribe("B", "200", false), "success");  // no names: ends B
  EXPECT_EQ(channel("S.Boiler.Setpoint")->samplingInterval(), 1000);
  EXPECT_EQ(subscribe("A", "1000", false), "success");
  EXPECT_EQ(channel("S.Boiler.Setpoint"), nullptr);
  EXPECT_EQ(service->channelMap.size(), 0u);
}

TEST_F(CommandWorkerTest, InvalidSubscribeCommandsAreAnswered) {
  startService();
  const std::string noId = commands->send({{"cmd", "subscribe"}, {"samplingInterval", "100"}, {"name", "S.Boiler.On"}});
  EXPECT_EQ(commands->response(noId), error(noId, "invalid subscribe command received"));
  const std::string noInterval = commands->send({{"cmd", "subscribe"}, {"subscriptionId", "x"}, {"name", "S.Boiler.On"}});
  EXPECT_EQ(commands->response(noInterval), error(noInterval, "invalid subscribe command received"));
  EXPECT_EQ(channel("S.Boiler.On"), nullptr);
}

TEST_F(CommandWorkerTest, LeaseEndsWithoutRenewal) {
  startService([](Service& s) { s.commandHandler->maxWaitMs = 300; });
  const std::string id = commands->send(
      {{"cmd", "subscribe"}, {"subscriptionId", "lease"}, {"samplingInterval", "100"}, {"name", "S.Boiler.On"}});
  ASSERT_EQ(commands->response(id), success(id));
  ASSERT_NE(channel("S.Boiler.On"), nullptr);
  EXPECT_TRUE(waitUntil([&] { return channel("S.Boiler.On") == nullptr; }, 2s));
}

// ---- connection ----

TEST_F(CommandWorkerTest, CommandConnectionWaitsForTheDataConnection) {
  server.stop();
  start("S", {}, false);
  ASSERT_TRUE(waitUntil([&] { return service->dataHandler->phase == kPhaseIdle; }, 5s));
  server.start();
  std::this_thread::sleep_for(300ms);
  tul::test::RedisClient observer(server);
  auto clients = observer.str({"CLIENT", "LIST"});
  EXPECT_EQ(std::count(clients.begin(), clients.end(), '\n'), 1) << clients;  // the observer alone
  EXPECT_EQ(service->commandHandler->phase, kPhaseIdle);
  host::runTask(service->reconnectTask);
  EXPECT_TRUE(waitFor(Attr::kState, true));
}

TEST_F(CommandWorkerTest, DataFailureEndsTheCommandConnectionAndItsSubscriptions) {
  startService();
  const std::string id = commands->send(
      {{"cmd", "subscribe"}, {"subscriptionId", "p"}, {"samplingInterval", "100"}, {"name", "S.Boiler.Temp"}});
  ASSERT_EQ(commands->response(id), success(id));
  ASSERT_TRUE(waitUntil([&] { return !commands->values("S.Boiler.Temp").empty(); }, 2s));
  // The next value cannot be appended: the data connection fails.
  peer->command({"DEL", "SValue:S.Boiler.Temp"});
  peer->str({"SET", "SValue:S.Boiler.Temp", "x"});
  harness.model().setValue("Boiler", "Temp", 30.0);
  ASSERT_TRUE(waitFor(Attr::kDataConnectionState, false));
  ASSERT_TRUE(waitFor(Attr::kCommandConnectionState, false));
  EXPECT_EQ(service->commandHandler->phase, kPhaseIdle);
  EXPECT_EQ(service->subscriptionTable.size(), 0u);
  EXPECT_EQ(channel("S.Boiler.Temp"), nullptr);

  peer->command({"DEL", "SValue:S.Boiler.Temp"});
  const auto registrations = service->registrationHandler->state.commitCount();
  host::runTask(service->reconnectTask);
  EXPECT_TRUE(waitFor(Attr::kState, true));
  // The new data connection registers the service again, which clears the command stream.
  ASSERT_TRUE(waitUntil([&] { return service->registrationHandler->state.commitCount() > registrations; }, 5s));
  EXPECT_EQ(set("S.Boiler.Count", "3")["result"], "success");
}

TEST_F(CommandWorkerTest, PersistentFailureBacksOffAndStopEndsTheWaitAtOnce) {
  startService([](Service& s) { s.commandHandler->maxWaitMs = 100; });
  ASSERT_TRUE(waitFor(Attr::kIsServiceRegistered, true));  // registration clears the command stream first
  peer->command({"CONFIG", "RESETSTAT"});
  peer->command({"DEL", "S.Commands"});
  peer->str({"SET", "S.Commands", "not a stream"});
  std::this_thread::sleep_for(1600ms);
  const long long attempts = peer->commandStats()["xrevrange"];
  EXPECT_GE(attempts, 4);   // 0, 0, 100, 200, 400, 800 ms apart
  EXPECT_LE(attempts, 8);   // not thousands
  EXPECT_NE(tul::test::errorAttribute(*service, Attr::kCommandConnectionError).message().find("WRONGTYPE"),
            std::string::npos);
  const auto before = std::chrono::steady_clock::now();
  service->cleanup();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
  service.reset();
}

}  // namespace
