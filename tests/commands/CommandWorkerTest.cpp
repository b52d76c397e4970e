// The command worker end to end: a peer writes command entries into "S.Commands" and reads
// the responses and value streams, against a private redis-server.

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>
#include <tuple>

#include "commands/SetCommand.h"
#include "ormanta/host/Host.h"
#include "support/CommandPeer.h"
#include "support/UnitFixtures.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using namespace ormanta;
using namespace ormanta::plugins::TulService;
using tul::test::CommandPeer;
using tul::test::success;
using tul::test::waitUntil;
using Fields = tul::test::RedisClient::Fields;
using Response = std::map<std::string, std::string>;

Fields setOf(const std::string& name, const std::string& value) {
  return {{"cmd", "set"}, {"name", name}, {"value", value}};
}

class CommandWorkerTest : public tul::test::BoilerLiveTest {
 protected:
  void startService(const std::function<void(Service&)>& tune = {}) {
    start("S", tune);
    commands = std::make_unique<CommandPeer>(*peer, "S");
  }

  Response set(const std::string& name, const std::string& text) { return commands->call(setOf(name, text)); }
  Response error(const std::string& id, const std::string& message) {
    return {{"responseId", id}, {"result", "error"}, {"errorMessage", message}};
  }
  data::Value value(const std::string& attribute) { return *harness.model().readValue("Boiler", attribute); }
  std::shared_ptr<Channel> channel(const std::string& name) { return service->channels().find(name); }

  std::unique_ptr<CommandPeer> commands;
};

// ---- protocol ----

TEST_F(CommandWorkerTest, OwnResponsesDoNotEndTheReadEarly) {
  startService([](Service& s) { s.dataHandler()->maxWaitMs = 60000; });  // no data keep-alive in the window
  peer->command({"CONFIG", "RESETSTAT"});
  const std::string id = commands->send(setOf("S.Boiler.On", "true"));
  ASSERT_EQ(commands->response(id), success(id));
  std::this_thread::sleep_for(300ms);
  auto stats = peer->commandStats();
  EXPECT_EQ(stats["ping"], 0);   // a read ended early would be followed by a PING
  EXPECT_GE(stats["xread"], 2);  // the worker reads on after its response
}

// ---- set ----

TEST_F(CommandWorkerTest, SetWritesEveryWritableTypeEchoesTheTextAndStopsAtAnUnknownName) {
  startService();
  const std::string uuid = "595e1ee2-95ca-4ce0-883f-535893cb4b7c";
  // A zero byte is a byte like any other: the text member gets all of them, and so does the echo.
  const std::tuple<std::string, std::string, data::Value> cases[] = {
      {"S.Boiler.On", "true", true},
      {"S.Boiler.Count", "-42", std::int64_t{-42}},
      {"S.Boiler.Level", "18446744073709551615", std::uint64_t{18446744073709551615ULL}},
      {"S.Boiler.Setpoint", "1e3", 1000.0},
      {"S.Boiler.Label", "a\0b"s, "a\0b"s},
      {"S.Boiler.Id", uuid, *utils::core::Uuid::fromStringInternal(uuid)},
      {"S.Boiler.Quality", "Bad", data::Quality::kBad},
      {"S.Boiler.Category", "Pump", model::ElementCategory::kPump},
      {"Boiler.Small", "7", std::int64_t{7}}};  // without the service prefix
  for (const auto& [name, text, written] : cases) {
    EXPECT_EQ(set(name, text)["result"], "success") << name;
    EXPECT_TRUE(value(name.substr(name.rfind('.') + 1)) == written) << name;
    EXPECT_EQ(commands->values(name), std::vector<std::string>{text}) << "the peer's own text";
  }
  // Several names: the writes before the first unknown one stay, none after it is made.
  const std::string id = commands->send({{"cmd", "set"},
                                         {"name", "S.Boiler.Count"},
                                         {"name", "S.Boiler.Nope"},
                                         {"name", "S.Boiler.Label"},
                                         {"value", "1"},
                                         {"value", "2"},
                                         {"value", "3"}});
  EXPECT_EQ(commands->response(id), error(id, "'set' command failed. No channel S.Boiler.Nope exists."));
  EXPECT_TRUE(value("Count") == data::Value(std::int64_t{1}));
  EXPECT_TRUE(value("Label") == data::Value("a\0b"s));
  EXPECT_EQ(commands->values("S.Boiler.Count"), (std::vector<std::string>{"-42", "1"}));
}

// Every refusal is one error response with its reason; nothing is written and nothing echoed.
TEST_F(CommandWorkerTest, TextsThatDoNotConvertAndOtherBadCommandsAreRefusedWithTheirReason) {
  startService();
  // An entry ID holds the server's clock when the entry was added: these two say 1970, far
  // longer ago than the 10 s a command may wait. (The stream is empty, so the IDs are allowed;
  // both go in at once, before a response could take a larger ID.)
  peer->command({"MULTI"});
  peer->command({"XADD", "S.Commands", "1-1", "cmd", "set", "name", "S.Boiler.Count", "value", "5"});
  peer->command({"XADD", "S.Commands", "1-2", "cmd", "subscribe", "subscriptionId", "old", "samplingInterval",
                 "0", "name", "S.Boiler.On"});
  peer->command({"EXEC"});
  for (const char* id : {"1-1", "1-2"}) {
    Response response = commands->response(id).value_or(Response{});
    EXPECT_TRUE(
        std::regex_match(response["errorMessage"],
                         std::regex(R"(command refused: written \d{13,} ms ago, more than the 10000 ms a )"
                                    R"(command may wait)")))
        << id << ": " << response["errorMessage"];
  }
  std::vector<std::pair<Fields, std::string>> cases;
  const std::string failed = "'set' command failed. ", unknownType = "unknown command type received";
  const auto noChannel = [&](const std::string& name) { return failed + "No channel " + name + " exists."; };
  const auto cannotConvert = [&](const std::string& text, const std::string& name) {
    return failed + "Value '" + text + "' cannot be converted for " + name + ".";
  };
  // A number or name must be the whole text and fit its type (the fuzz seeds hold many more).
  const std::pair<std::string, std::string> unconvertible[] = {{"S.Boiler.Count", "12abc"},
                                                               {"S.Boiler.Level", "-5"},
                                                               {"S.Boiler.Setpoint", "1e999"},
                                                               {"S.Boiler.Quality", "Bad\0"s}};
  for (const auto& [name, text] : unconvertible) {
    cases.push_back({setOf(name, text), cannotConvert(text, name)});
  }
  // Peer input is quoted up to 256 bytes, and a zero byte counts like any other.
  const std::string huge(1024 * 1024, '7'), longName = "S.Boiler." + std::string(1000, 'n');
  cases.push_back(
      {setOf("S.Boiler.Count", huge), cannotConvert(std::string(256, '7') + "\u2026", "S.Boiler.Count")});
  cases.push_back({setOf(longName, "1"), noChannel(longName.substr(0, 256) + "\u2026")});
  cases.push_back({setOf("S.Boiler.Count\0x"s, "2"), noChannel("S.Boiler.Count\0x"s)});
  cases.push_back({setOf("SBoiler.Count", "8"), noChannel("SBoiler.Count")});
  cases.push_back({{{"cmd", "set\0x"s}, {"name", "S.Boiler.Count"}, {"value", "1"}}, unknownType});
  cases.push_back({{{"cmd", "SET"}, {"name", "S.Boiler.Count"}, {"value", "6"}}, unknownType});
  // Types that cannot be written, and writes the member refuses.
  const std::tuple<std::string, std::string, std::string> unwritable[] = {
      {"S.Boiler.On", "TRUE", "Only \"true\" and \"false\" values are supported"},
      {"S.Boiler.Since", "2026-01-01T00:00:00Z", "The TimePoint attribute is not supported for writing"},
      {"S.Boiler.Fault", "0", "The ErrorCode attribute is not supported for writing"},
      {"S.Boiler.Blob", "x", "The attribute is not supported for writing"},
      {"S.Boiler.Temp", "1", "Error writing to a Ormanta data point: Permission denied"},
      {"S.Boiler.Small", "40000",
       "Error writing to a Ormanta data point: the value does not fit the attribute's bit size"}};
  for (const auto& [name, text, message] : unwritable) cases.push_back({setOf(name, text), message});
  const std::string invalidSet = "Invalid set command received. ";
  cases.push_back({{{"cmd", "set"}, {"name", "S.Boiler.Count"}, {"name", "S.Boiler.On"}, {"value", "1"}},
                   invalidSet + "\"name\" and \"value\" fields have different sizes"});
  cases.push_back({{{"cmd", "set"}, {"value", "1"}}, invalidSet + "\"name\" field missing"});
  cases.push_back({{{"cmd", "set"}, {"name", "S.Boiler.Count"}}, invalidSet + "\"value\" field missing"});
  cases.push_back({{{"cmd", "subscribe"}, {"samplingInterval", "100"}, {"name", "S.Boiler.On"}},
                   "invalid subscribe command received"});
  cases.push_back({{{"cmd", "subscribe"}, {"subscriptionId", "x"}, {"name", "S.Boiler.On"}},
                   "invalid subscribe command received"});

  for (const auto& [fields, message] : cases) {
    const std::string id = commands->send(fields);
    EXPECT_EQ(commands->response(id), error(id, message));
  }
  EXPECT_TRUE(value("Count") == data::Value(std::int64_t{0}));
  EXPECT_TRUE(value("Level") == data::Value(std::uint64_t{0}));
  EXPECT_TRUE(value("Setpoint") == data::Value(21.0));
  EXPECT_TRUE(value("Temp") == data::Value(20.5));
  EXPECT_TRUE(value("Quality") == data::Value(data::Quality::kGood));
  EXPECT_TRUE(value("On") == data::Value(false));
  for (const char* member :
       {"S.Boiler.Count", "S.Boiler.Level", "S.Boiler.Setpoint", "S.Boiler.Temp", "S.Boiler.On", "S.Boiler.Quality"}) {
    EXPECT_TRUE(commands->values(member).empty()) << member;
  }
  EXPECT_EQ(channel("S.Boiler.On"), nullptr);
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
    const std::string cut(before, 'a');
    EXPECT_EQ(quotedInput(cut + smile + "z"), cut + ellipsis) << before;
  }
  EXPECT_EQ(quotedInput(std::string(252, 'a') + smile + "z"), std::string(252, 'a') + smile + ellipsis);
  // Not UTF-8 at all: still at most 256 bytes, cut no more than three bytes early.
  EXPECT_EQ(quotedInput(std::string(300, '\x80')), std::string(253, '\x80') + ellipsis);
}

// ---- subscribe ----

TEST_F(CommandWorkerTest, SharedChannelRunsAtTheShortestIntervalAndIsRetunedWhenASubscriptionEnds) {
  startService();
  auto subscribe = [&](const std::string& id, const std::string& interval, bool withName) {
    Fields fields = {{"cmd", "subscribe"}, {"subscriptionId", id}, {"samplingInterval", interval}};
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
  EXPECT_TRUE(service->channels().names().empty());
}

// ---- connection ----

TEST_F(CommandWorkerTest, PersistentFailureBacksOffAndTheReconnectTaskOrAStopEndsTheWaitAtOnce) {
  startService([](Service& s) { s.commandHandler()->maxWaitMs = 100; });
  ASSERT_TRUE(waitFor(Attr::kIsServiceRegistered, true));  // registration clears the command stream first
  peer->command({"CONFIG", "RESETSTAT"});
  peer->command({"DEL", "S.Commands"});
  peer->str({"SET", "S.Commands", "not a stream"});
  std::this_thread::sleep_for(1600ms);
  const long long attempts = peer->commandStats()["xread"];
  EXPECT_GE(attempts, 4);  // 0, 0, 100, 200, 400, 800 ms apart
  EXPECT_LE(attempts, 8);  // not thousands
  EXPECT_NE(tul::test::errorAttribute(*service, Attr::kCommandConnectionError).message().find("WRONGTYPE"),
            std::string::npos);
  // The next attempt would come 1.6 s later: an operator's reconnect does not wait for it.
  host::runTask(service->reconnectTask());
  EXPECT_TRUE(waitUntil([&] { return peer->commandStats()["xread"] > attempts; }, 500ms));
  const auto before = std::chrono::steady_clock::now();
  service->cleanup();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
  service.reset();
}

}  // namespace
