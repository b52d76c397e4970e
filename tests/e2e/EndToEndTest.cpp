// The built ormanta-host and tul-peer as processes: the host's start errors and stdin commands
// (its service pointing at a closed port), then what peers see of a service on a private
// redis-server (registration, values, set) and how it rides out a lost server.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <regex>

#include "Processes.h"
#include "ormanta/utils/json/Decoder.h"
#include "support/CommandPeer.h"
#include "support/RedisClient.h"
#include "support/RedisServer.h"
#include "support/SentinelGroup.h"
#include "support/Wait.h"

namespace tul::test {
namespace {

using Hash = std::map<std::string, std::string>;
using ::testing::HasSubstr;
using ::testing::Not;

// A small model: nested elements, every access mode, several types, one simulated counter,
// and an element without attributes. Primary keys: Boiler, Boiler.Pump, Empty.
const std::string kTestModel = R"({"elements":[
  {"key":"Boiler","name":"Boiler 1","category":"Equipment","attributes":[
    {"name":"Temp","type":"double","access":"r","value":20.5},
    {"name":"Setpoint","type":"double","access":"b","value":21},
    {"name":"On","type":"bool","access":"b","value":false},
    {"name":"Count","type":"int","access":"r","value":0,"simulate":{"kind":"counter","periodMs":200}},
    {"name":"Mode","type":"string","access":"w","value":"auto"}],
   "children":[
    {"key":"Pump","category":"Pump","attributes":[
      {"name":"Speed","type":"uint","access":"b","bitSize":16,"value":1200},
      {"name":"Since","type":"time","access":"r","value":"2026-01-02T03:04:05Z"},
      {"name":"Q","type":"quality","access":"b","value":"Good"}]}]},
  {"key":"Empty"}]})";

// "YYYY-MM-DDThh:mm:ss.<fraction digits>Z".
bool isUtcTime(const std::string& text, std::size_t fractionDigits) {
  const std::string shape = "dddd-dd-ddTdd:dd:dd." + std::string(fractionDigits, 'd') + "Z";
  return text.size() == shape.size() &&
         std::equal(shape.begin(), shape.end(), text.begin(), [](char s, char t) {
           return s == 'd' ? std::isdigit(static_cast<unsigned char>(t)) != 0 : s == t;
         });
}

// Reads a peer's lines until one holds text; false when timeout passes first.
bool seesLine(ChildProcess& peer, const std::string& text, std::chrono::milliseconds timeout = 15s) {
  for (const auto deadline = std::chrono::steady_clock::now() + timeout;
       std::optional<std::string> line = peer.readLine(until(deadline));)
    if (line->find(text) != std::string::npos) return true;
  return false;
}

class HostRunnerTest : public ::testing::Test {
 protected:
  TempDirectory dir;
  const std::string model = dir.write("model.json", kTestModel);
  const std::string closedConfig = serviceConfig("127.0.0.1:1", "S");
};

TEST_F(HostRunnerTest, StartErrorsEndWithStatus2AndOneLineNamingTheProblem) {
  // One row per error path: the plug-in, the model file, a configuration, the arguments.
  const std::pair<Texts, std::string> cases[] = {
      {{ORMANTA_HOST, "--plugin", "/nonexistent/libNothing.so", "--model", model, "--config", closedConfig},
       "cannot load plug-in /nonexistent/libNothing.so"},
      {hostArgs(
           dir.write("t.json", R"({"elements":[{"key":"A","attributes":[{"name":"X","type":"float"}]}]})"),
           {closedConfig}),
       "$.elements[0].attributes[0].type: unknown type \"float\""},
      {hostArgs(model, {closedConfig, "{not json"}), "configuration 2"},
      {hostArgs(model, {closedConfig}, {"--reconnect-every", "soon"}), "--reconnect-every"},
  };
  for (const auto& [args, expected] : cases) {
    ChildProcess host(args, dir.fresh("stderr"));
    host.closeStdin();
    EXPECT_EQ(host.wait(10s), 2) << expected;
    const std::string err = host.stderrText();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_THAT(err, HasSubstr(expected));
    EXPECT_FALSE(host.readLine(0ms)) << "nothing on stdout";
  }
}

TEST_F(HostRunnerTest, PrintsTheAttributesServesReadAndWriteAndEndsOnASignalNotAtEndOfInput) {
  Host host(dir, model, {closedConfig}, {"--no-simulate"});
  std::optional<HostLine> first = host.waitFor([](HostLine&) { return true; });
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)["attributes.serviceRegistrationError.message"], "the service registration is pending")
      << "the first line shows the service's attributes";
  EXPECT_EQ(host.read("Boiler.Pump.Since"), "2026-01-02T03:04:05.0000000Z");
  EXPECT_EQ(host.read("S.serviceName"), "S") << "the service's own attributes are readable too";
  host.send("write Boiler.Temp 1e+20");  // the host's own writes ignore access modes
  EXPECT_EQ(host.read("Boiler.Temp"), "1e+20");
  host.send("write Boiler.Pump.Q 2");
  EXPECT_EQ(host.read("Boiler.Pump.Q"), "Bad");
  host.send("write Boiler.Mode  two words ");
  EXPECT_EQ(host.read("Boiler.Mode"), " two words ") << "a text value is the whole rest of the line";
  const std::pair<std::string, std::string> bad[] = {{"write Boiler.Pump.Speed 65536", "bit size"},
                                                     {"fly away", "unknown command"}};
  for (const auto& [command, expected] : bad) {
    host.send(command);
    const auto answer = host.waitFor([](HostLine& l) { return l["type"] == "error"; }, 5s);
    ASSERT_TRUE(answer) << command;
    EXPECT_THAT(answer->at("message"), HasSubstr(expected)) << command << ": " << answer->at("message");
  }
  EXPECT_EQ(host.read("Boiler.Pump.Speed"), "1200");

  host.process.closeStdin();
  EXPECT_FALSE(host.process.wait(500ms)) << "end of input must not stop the host";
  host.process.signal(SIGTERM);
  EXPECT_EQ(host.process.wait(10s), 0);
}

// Behind Sentinel the peers use the primary the sentinels name, and a watch follows a failover.
TEST_F(HostRunnerTest, BehindSentinelsPeersUseTheNamedPrimaryAndAWatchFollowsAFailover) {
  SentinelGroup group;
  const std::string sentinels = group.sentinelAddresses();
  Host host(dir, model, {R"({"serviceName":"S","sentinels":")" + sentinels + R"(","sentinelMaster":"m"})"});
  ASSERT_TRUE(host.waitUntilServing("S"));
  PeerResult result =
      runPeer(dir, {"set", "S", "Boiler.Setpoint=22.5", "--sentinel-master=m", "--address", sentinels});
  EXPECT_EQ(result.status, 0) << result.err;
  result = runPeer(dir, {"status", "--sentinel-master=x", "--address", sentinels});
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, HasSubstr(R"(no sentinel named a primary for "x": 127.0.0.1:)"));

  ChildProcess watch(
      {TUL_PEER, "watch", "S", "Boiler.Setpoint", "--sentinel-master=m", "--address", sentinels},
      dir.fresh("watch-stderr"));
  ASSERT_TRUE(seesLine(watch, "S.Boiler.Setpoint  22.5")) << watch.stderrText();
  group.primary().kill();
  host.send("write Boiler.Setpoint 23");
  ASSERT_TRUE(seesLine(watch, "S.Boiler.Setpoint  23")) << "from the new primary: " << watch.stderrText();
  EXPECT_THAT(watch.stderrText(), HasSubstr("reconnected; service S serving since"));
  watch.signal(SIGINT);
  EXPECT_EQ(watch.wait(10s), 0) << watch.stderrText();

  ChildProcess python({"/usr/bin/python3", TUL_EXAMPLES "/peer.py", "--sentinel-master", "m", "--address",
                       sentinels, "--seconds", "0.5", "--set", "S.Boiler.Setpoint=26"},
                      dir.fresh("python-stderr"));
  EXPECT_TRUE(seesLine(python, "set S.Boiler.Setpoint=26: success", 10s)) << python.stderrText();
  EXPECT_EQ(host.read("Boiler.Setpoint"), "26");
}

// --format text: a state line that names the cause of a failed connect and says that it
// retries, and one answer line per command.
TEST_F(HostRunnerTest, TheTextFormatSaysWhyAServiceIsDownAndAnswersEachCommand) {
  ChildProcess host(
      hostArgs(model, {closedConfig}, {"--format", "text", "--reconnect-every", "500", "--no-simulate"}),
      dir.fresh("host-stderr"));
  EXPECT_TRUE(seesLine(host, "S: down (connection refused by 127.0.0.1:1) · retrying every 500 ms", 10s));
  const std::pair<const char*, const char*> answers[] = {
      {"write Boiler.Temp 3", "wrote Boiler.Temp = 3"},
      {"read Boiler.Temp", "Boiler.Temp = 3"},
      {"reconnect", "reconnect: ran the reconnect task of 1 service"},
      {"write Boiler.Nothing 1", "error: write Boiler.Nothing: no such attribute"},
      {"quit", "S: stopped"}};
  for (const auto& [command, answer] : answers) {
    host.writeLine(command);
    EXPECT_TRUE(seesLine(host, answer, 5s)) << command;
  }
  EXPECT_EQ(host.wait(10s), 0);
}

// The demo as people start it: its first 24 lines (one 80x24 screen) hold the port and the
// peer commands; it prints them again once the service serves and on "help".
TEST_F(HostRunnerTest, TheDemosFirstScreenShowsThePortAndThePeerCommands) {
  // Its options are checked before ./run builds: an unknown one is named, the script is not.
  ChildProcess check({"/bin/bash", TUL_SOURCE_DIR "/apps/demo.sh", "--check", "--model", model, "--colour"},
                     dir.fresh("check-stderr"));
  EXPECT_EQ(check.wait(10s), 2);
  EXPECT_THAT(check.stderrText(), ::testing::StartsWith("./run demo: unknown option \"--colour\"\n"));
  EXPECT_THAT(check.stderrText(), Not(HasSubstr("demo.sh")));

  ChildProcess demo({"/bin/bash", TUL_SOURCE_DIR "/apps/demo.sh", TUL_BUILD_DIR}, dir.fresh("demo-stderr"));
  // The demo stops its redis-server only when it is stopped by a signal or "quit", not SIGKILL.
  struct StopDemo {
    ChildProcess& demo;
    ~StopDemo() {
      demo.signal(SIGTERM);
      demo.wait(10s);
    }
  } stop{demo};
  Texts lines;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  const auto readUntil = [&](const std::string& text) {
    while (std::optional<std::string> line = demo.readLine(until(deadline))) {
      lines.push_back(*line);
      if (line->find(text) != std::string::npos) return true;
    }
    return false;
  };
  ASSERT_TRUE(readUntil("Plant: data up · command up · registered · serving")) << demo.stderrText();
  ASSERT_TRUE(readUntil("./run peer set Plant")) << "the peer lines again, once it serves";
  const std::string header = lines[0];
  const std::size_t at = header.find(" on 127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << header;
  const std::string address = header.substr(at + 4, header.find(' ', at + 4) - at - 4);
  std::string screen;
  for (std::size_t i = 0; i < std::min<std::size_t>(lines.size(), 24); ++i) {
    screen += lines[i] + "\n";
    // A wider line would wrap; the working directory's line is as long as its path.
    const auto columns = std::count_if(lines[i].begin(), lines[i].end(),
                                       [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
    if (lines[i].find("From another terminal") == std::string::npos) {
      EXPECT_LE(columns, 80) << lines[i];
    }
  }
  for (const std::string& expected :
       {"export TUL_ADDRESS=" + address + "\n", std::string("./run peer status\n"),
        std::string("./run peer browse Plant"), std::string("./run peer watch Plant"),
        std::string("./run peer set Plant"), std::string("examples/peer.py --watch"),
        "redis-cli -p " + address.substr(address.find(':') + 1)})
    EXPECT_THAT(screen, HasSubstr(expected));

  demo.writeLine("help");
  EXPECT_TRUE(readUntil("export TUL_ADDRESS=" + address));
  demo.writeLine("read BoilerHouse.Boiler1.Setpoint");
  EXPECT_TRUE(readUntil("BoilerHouse.Boiler1.Setpoint = 80"));
  demo.writeLine("quit");
  EXPECT_EQ(demo.wait(10s), 0);
  EXPECT_THAT(demo.stderrText(), HasSubstr("./run demo: stopped"));
}

class ServiceEndToEndTest : public HostRunnerTest {
 protected:
  std::string config(const std::string& serviceName) const {
    return serviceConfig(redis.address(), serviceName);
  }
  PeerResult peer(Texts args) {
    args.insert(args.begin(), {"--address", redis.address()});
    return runPeer(dir, args);
  }
  // The "value" fields of a member's value stream, oldest first.
  Texts values(const std::string& service, const std::string& member) {
    return CommandPeer(client, service).values(member);
  }

  RedisServer redis;
  RedisClient client{redis};
};

TEST_F(ServiceEndToEndTest, RegistrationRecordsMatchTheModelAsThePeerReadsThem) {
  Host host(dir, model, {config("S")});
  ASSERT_TRUE(host.waitUntilServing("S"));
  EXPECT_EQ(client.hgetall("Services")["S"],
            R"({"dataPointsKey":"S.DataPoints","dataTypesKey":"S.DataTypes","cmdChn":"S.Commands"})");
  const Hash points = client.hgetall("S.DataPoints");
  EXPECT_EQ(points.size(), 3u);
  ASSERT_TRUE(points.contains("S.Boiler.Pump"));
  const auto pump = ormanta::utils::json::decoder::Document::parse(points.at("S.Boiler.Pump"));
  const std::string type(pump.root().asObject().find("type")->asString().view());
  EXPECT_EQ(points.at("S.Boiler.Pump"),
            R"({"name":"S.Boiler.Pump","type":")" + type +
                R"(","size":142,"access":"b","updateChn":"SValue:S.Boiler.Pump"})");
  EXPECT_EQ(client.hgetall("S.DataTypes")[type],
            R"([{"name":".Q","type":"String","size":80,"access":"b","updateChn":".Q"},)"
            R"({"name":".Since","type":"String","size":46,"access":"r","updateChn":".Since"},)"
            R"({"name":".Speed","type":"UInt","size":16,"access":"b","updateChn":".Speed"}])");

  const PeerResult browse = peer({"browse", "S"});
  EXPECT_EQ(browse.status, 0) << browse.err;
  std::string table = browse.out;  // without the column padding
  table.erase(std::unique(table.begin(), table.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
              table.end());
  for (const char* row :
       {"3 data points, 8 members", "S.Boiler (type t_", ", size 524488)", " S.Boiler.Count Int 64 r\n",
        " S.Boiler.Mode String 524288 w\n", " S.Boiler.On Bool 8 b\n", " S.Boiler.Setpoint Real 64 b\n",
        " S.Boiler.Temp Real 64 r\n", " S.Boiler.Pump.Q String 80 b\n", " S.Boiler.Pump.Since String 46 r\n",
        " S.Boiler.Pump.Speed UInt 16 b\n", ", size 0)\n (no members)"}) {
    EXPECT_THAT(table, HasSubstr(row));
  }
}

TEST_F(ServiceEndToEndTest, WatchGetsTheFirstValueAndLaterChanges) {
  Host host(dir, model, {config("S")});
  ASSERT_TRUE(host.waitUntilServing("S"));
  ChildProcess watch({TUL_PEER, "--address", redis.address(), "watch", "S", "Boiler.Setpoint",
                      "S.Boiler.Count", "--interval", "100"},
                     dir.fresh("watch-stderr"));
  std::map<std::string, Texts> seen;  // from "TIME  MEMBER  VALUE" lines
  auto readUntil = [&](const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      std::string time, member, value;
      if (std::optional<std::string> line = watch.readLine(200ms)) {
        std::istringstream(*line) >> time >> member >> value;
        EXPECT_TRUE(isUtcTime(time, 3)) << *line;
        seen[member].push_back(value);
      }
    }
  };
  readUntil([&] { return !seen["S.Boiler.Setpoint"].empty() && seen["S.Boiler.Count"].size() >= 3; });
  ASSERT_FALSE(seen["S.Boiler.Setpoint"].empty()) << watch.stderrText();
  EXPECT_EQ(seen["S.Boiler.Setpoint"].front(), "21");
  ASSERT_GE(seen["S.Boiler.Count"].size(), 3u);
  EXPECT_LT(std::stoll(seen["S.Boiler.Count"].front()), std::stoll(seen["S.Boiler.Count"].back()));
  host.send("write Boiler.Setpoint 23.5");
  readUntil([&] { return seen["S.Boiler.Setpoint"].back() == "23.5"; });
  EXPECT_EQ(seen["S.Boiler.Setpoint"].back(), "23.5");
  watch.signal(SIGINT);
  EXPECT_EQ(watch.wait(10s), 0) << watch.stderrText();
}

// watch --table on a terminal (a pseudo-terminal here): the cursor goes home before each
// drawing and every member keeps one row whose value and count change in place.
TEST_F(ServiceEndToEndTest, WatchTableUpdatesItsRowsInPlaceOnATerminal) {
  Host host(dir, model, {config("S")});
  ASSERT_TRUE(host.waitUntilServing("S"));
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  std::string screen;
  {
    ChildProcess watch({TUL_PEER, "--address", redis.address(), "watch", "S", "Boiler.Count",
                        "Boiler.Setpoint", "--table", "--interval", "100"},
                       "", terminal);
    // Eight complete drawings (each ends by clearing what is below it), or what came in 10 s.
    const auto drawings = [&] {
      std::size_t n = 0;
      for (std::size_t at = screen.find("\x1b[J"); at != std::string::npos;
           at = screen.find("\x1b[J", at + 3))
        ++n;
      return n;
    };
    for (const auto deadline = std::chrono::steady_clock::now() + 10s;
         drawings() < 8 && std::chrono::steady_clock::now() < deadline;) {
      pollfd entry{master, POLLIN, 0};
      char chunk[4096];
      if (::poll(&entry, 1, 100) == 1) {
        const ssize_t n = ::read(master, chunk, sizeof chunk);
        if (n > 0) screen.append(chunk, static_cast<std::size_t>(n));
      }
    }
    watch.signal(SIGINT);
    EXPECT_EQ(watch.wait(10s), 0);
  }
  ::close(terminal);
  ::close(master);
  // Each drawing starts at the top left; in each, one row per member.
  std::vector<std::string> counts;
  for (std::size_t home = screen.find("\x1b[H"); home != std::string::npos;) {
    const std::size_t next = screen.find("\x1b[H", home + 3);
    const std::string frame =
        screen.substr(home, next == std::string::npos ? std::string::npos : next - home);
    home = next;
    if (frame.find("\x1b[J") == std::string::npos) continue;  // the last one, cut by the end of reading
    std::smatch row;
    ASSERT_TRUE(
        std::regex_search(frame, row, std::regex("S\\.Boiler\\.Count +([-0-9]+) +[-0-9:.]+ +[0-9]+\x1b")))
        << frame;
    EXPECT_THAT(frame, ::testing::ContainsRegex("S\\.Boiler\\.Setpoint +(-|21) +[-0-9:.]+ +[01]\x1b"));
    if (row[1] != "-") counts.push_back(row[1]);
  }
  ASSERT_GE(counts.size(), 3u) << screen;
  EXPECT_LT(std::stoll(counts.front()), std::stoll(counts.back())) << "the counter's row changed in place";
}

TEST_F(ServiceEndToEndTest, SetWritesThroughAndIsEchoedAndABadValueGetsAnErrorResponse) {
  Host host(dir, model, {config("S")}, {"--reconnect-every", "500", "--no-simulate"});
  ASSERT_TRUE(host.waitUntilServing("S"));
  PeerResult set = peer({"set", "S", "Boiler.Setpoint=22.25", "S.Boiler.On=true", "Boiler.Pump.Q=Bad"});
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_THAT(set.out, HasSubstr("result=success"));
  EXPECT_EQ(host.read("Boiler.Setpoint"), "22.25");
  EXPECT_EQ(host.read("Boiler.On"), "true");
  EXPECT_EQ(host.read("Boiler.Pump.Q"), "Bad");
  EXPECT_EQ(values("S", "S.Boiler.Setpoint"), Texts{"22.25"});
  EXPECT_EQ(values("S", "S.Boiler.On"), Texts{"true"});

  // The tool takes any case and 1/0 for a Bool and sends true/false; one result line per member.
  set = peer({"--json", "set", "S", "Boiler.On=FALSE", "Boiler.Pump.Speed=7"});
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_THAT(set.out, HasSubstr(R"({"member":"S.Boiler.On","value":false,"result":"success")"));
  EXPECT_THAT(set.out, HasSubstr(R"({"member":"S.Boiler.Pump.Speed","value":7,"result":"success")"));
  EXPECT_EQ(host.read("Boiler.On"), "false");
  // The service's own refusal names the member it failed at; the pairs before it are written.
  set = peer({"set", "S", "Boiler.On=1", "Boiler.Pump.Q=Fine"});
  EXPECT_EQ(set.status, 1);
  EXPECT_THAT(set.out, ::testing::ContainsRegex("S.Boiler.On=true +result=written"));
  EXPECT_THAT(set.out, HasSubstr("S.Boiler.Pump.Q=Fine  result=error errorMessage='set' command failed."));
  EXPECT_THAT(set.err, HasSubstr("tul-peer: set S.Boiler.Pump.Q failed: 'set' command failed."));
  EXPECT_EQ(host.read("Boiler.On"), "true");

  // Refused before anything is written: the command stream does not grow, no stream appears.
  const long long commands = client.xlen("S.Commands");
  const std::pair<Texts, std::string> refused[] = {
      {{"set", "S", "Boiler.Nothing=1"}, "S.Boiler.Nothing is not a member of service S; nothing was sent"},
      {{"set", "S", "Boiler.Setpoint=1", "Boiler.Temp=1"}, "S.Boiler.Temp is read-only; nothing was sent"},
      {{"set", "S", "Boiler.Setpoint=82,5"},
       R"(S.Boiler.Setpoint: "82,5" is not a Real (accepted: a decimal)"},
      {{"set", "S", "Boiler.Setpoint=1", "Boiler.On=yes"},
       R"(S.Boiler.On: "yes" is not a Bool (accepted: true)"},
      {{"set", "S", "Boiler.Pump.Speed=65536"}, R"(S.Boiler.Pump.Speed: "65536" is not a UInt of 16 bits)"},
      {{"set", "X", "Boiler.On=true"}, "service X is not registered"}};
  for (const auto& [args, message] : refused) {
    set = peer(args);
    EXPECT_EQ(set.status, 1) << message;
    EXPECT_THAT(set.err, HasSubstr(message));
  }
  EXPECT_EQ(client.xlen("S.Commands"), commands);
  EXPECT_FALSE(client.exists("X.Commands"));
  EXPECT_EQ(host.read("Boiler.Setpoint"), "22.25");
}

TEST_F(ServiceEndToEndTest, PeersSeeTheStatusReadCurrentValuesAndWatchAcrossARedisRestartThatTheHostShows) {
  Host host(dir, model, {config("S")});
  ASSERT_TRUE(host.waitUntilServing("S"));
  PeerResult result = peer({"status"});
  EXPECT_THAT(result.out, HasSubstr("S        serving since "));
  EXPECT_THAT(result.out, HasSubstr(", registered at "));
  result = peer({"--json", "status"});
  const auto status = json::Document::parse(result.out);
  EXPECT_TRUE(status.root().asObject().find("serving")->asBool()) << result.out;

  result = peer({"read", "S", "Boiler.Setpoint", "S.Boiler.Pump.Speed"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "S.Boiler.Setpoint    21\nS.Boiler.Pump.Speed  1200\n");
  // A pattern takes the readable members it matches; JSON values follow the members' types.
  result = peer({"--json", "read", "S", "Boiler.*"});
  EXPECT_EQ(result.status, 0) << result.err;
  for (const char* typed :
       {R"("member":"S.Boiler.Setpoint","value":21})", R"("member":"S.Boiler.On","value":false})",
        R"("member":"S.Boiler.Pump.Q","value":"Good"})", R"("member":"S.Boiler.Pump.Speed","value":1200})"})
    EXPECT_THAT(result.out, HasSubstr(typed));
  EXPECT_THAT(result.out, Not(HasSubstr("S.Boiler.Mode"))) << "a pattern passes over write-only members";
  result = peer({"browse", "S", "*.Speed", "--values"});
  EXPECT_THAT(result.out, HasSubstr("1 data points, 1 members matching '*.Speed'"));
  EXPECT_THAT(result.out, ::testing::ContainsRegex("S.Boiler.Pump.Speed +UInt +16 +b +1200\n"));
  for (const Texts& args : {Texts{"read", "S", "*.Nothing"}, Texts{"browse", "S", "*.Nothing"}}) {
    result = peer(args);
    EXPECT_EQ(result.status, 1) << args[0];
    EXPECT_THAT(result.err, HasSubstr("pattern '*.Nothing' matches no")) << args[0];
  }
  // The address as redis-cli takes it, or from TUL_ADDRESS; a port alone is refused.
  result = runPeer(dir, {"-h", "127.0.0.1", "-p", std::to_string(redis.port()), "--json", "services"});
  EXPECT_THAT(result.out, HasSubstr(R"({"service":"S","dataPointsKey":"S.DataPoints")"));
  ChildProcess fromEnvironment({"/usr/bin/env", "TUL_ADDRESS=" + redis.address(), TUL_PEER, "status"},
                               dir.fresh("env-stderr"));
  EXPECT_TRUE(seesLine(fromEnvironment, "S        serving since ", 10s)) << fromEnvironment.stderrText();
  result = runPeer(dir, {"--address", std::to_string(redis.port()), "status"});
  EXPECT_EQ(result.status, 2);
  EXPECT_THAT(result.err,
              HasSubstr("is a port alone: give HOST:PORT (127.0.0.1:" + std::to_string(redis.port())));
  for (const auto& [member, message] : {std::pair{"Boiler.Nothing", "S.Boiler.Nothing is not a member"},
                                        std::pair{"Boiler.Mode", "S.Boiler.Mode is write-only"}}) {
    result = peer({"read", "S", "Boiler.Setpoint", member});
    EXPECT_EQ(result.status, 1) << member;
    EXPECT_THAT(result.err, HasSubstr(message));
  }

  ChildProcess watch({TUL_PEER, "--address", redis.address(), "--json", "watch", "S", "Boiler.Setpoint",
                      "Boiler.Mode", "--interval", "100"},
                     dir.fresh("watch-stderr"));
  const auto nextValue = [&](const std::string& expected) {
    return seesLine(watch, R"("value":)" + expected + "}");  // a Real: a JSON number
  };
  ASSERT_TRUE(nextValue("21")) << "the current value first: " << watch.stderrText();
  EXPECT_THAT(watch.stderrText(), HasSubstr("S.Boiler.Mode is write-only"));
  // The host shows the loss as an event and in the attributes; its reconnect task recovers.
  redis.stop();
  const std::optional<HostLine> down = host.waitFor([](HostLine& l) { return l["event"] == "disconnected"; });
  ASSERT_TRUE(down);
  EXPECT_EQ(down->at("service"), "S");
  EXPECT_TRUE(isUtcTime(down->at("time"), 7)) << down->at("time");
  const auto failed = host.waitForAttributes("S", [](HostLine& l) {
    return l["attributes.state"] == "false" && l["attributes.dataConnectionState"] == "false" &&
           l["attributes.dataConnectionError.value"] != "0";
  });
  ASSERT_TRUE(failed);
  EXPECT_NE(failed->at("attributes.error.value"), "0");
  EXPECT_NE(failed->at("attributes.error.message"), "no error");
  redis.start();
  ASSERT_TRUE(host.waitFor([](HostLine& l) { return l["event"] == "connected"; }, 15s));
  ASSERT_TRUE(host.waitUntilServing("S"));
  EXPECT_TRUE(RedisClient(redis).hgetall("Services").contains("S")) << "registered again on the new server";
  ASSERT_TRUE(nextValue("21")) << "the current value again on the new server: " << watch.stderrText();
  EXPECT_THAT(watch.stderrText(), HasSubstr("reconnected; service S serving since"));
  host.send("write Boiler.Setpoint 24");
  EXPECT_TRUE(nextValue("24")) << watch.stderrText();
  watch.signal(SIGINT);
  EXPECT_EQ(watch.wait(10s), 0) << watch.stderrText();

  host.send("quit");
  EXPECT_EQ(host.process.wait(10s), 0);
  result = peer({"status"});
  EXPECT_THAT(result.out, HasSubstr("S        not serving")) << "the key went with the stop";
  result = peer({"set", "S", "Boiler.Setpoint=1"});
  EXPECT_THAT(result.err, HasSubstr("service S is not serving"));
}

// examples/peer.py with Debian's python3-redis: finds the service, browses it, subscribes,
// renews, prints values and sets one.
TEST_F(ServiceEndToEndTest, ThePythonPeerFindsBrowsesWatchesAndSets) {
  if (std::system("/usr/bin/python3 -c 'import redis' 2>/dev/null") != 0) {
    GTEST_SKIP() << "python3-redis is not installed (./run installs it)";
  }
  Host host(dir, model, {config("S")}, {"--reconnect-every", "500", "--no-simulate"});
  ASSERT_TRUE(host.waitUntilServing("S"));
  ChildProcess python(
      {"/usr/bin/python3", TUL_EXAMPLES "/peer.py", "--address", redis.address(), "--seconds", "2", "--watch",
       "S.Boiler.Setpoint", "S.Boiler.Pump.Speed", "--set", "S.Boiler.Setpoint=25.5"},
      dir.fresh("python-stderr"));
  std::string out;
  while (std::optional<std::string> line = python.readLine(15s)) out += *line + "\n";
  EXPECT_EQ(python.wait(5s), 0) << python.stderrText();
  for (const char* expected :
       {"service S: serving since ", "data point S.Boiler.Pump (t_", "  member S.Boiler.Mode String w\n",
        "subscribed peer-py-", "value S.Boiler.Setpoint 21\n", "value S.Boiler.Pump.Speed 1200\n",
        "renewed peer-py-", ": success\n", "set S.Boiler.Setpoint=25.5: success\n"}) {
    EXPECT_THAT(out, HasSubstr(expected)) << python.stderrText();
  }
  EXPECT_EQ(host.read("Boiler.Setpoint"), "25.5");
}

TEST_F(ServiceEndToEndTest, TwoServicesKeepToTheirOwnKeysAndQuitEndsEverything) {
  Host host(dir, model, {config("A"), config("B")}, {"--reconnect-every", "500", "--no-simulate"});
  ASSERT_TRUE(host.waitUntilServing("A"));
  ASSERT_TRUE(host.waitUntilServing("B"));
  EXPECT_EQ(client.hgetall("Services").size(), 2u);
  for (const std::string service : {"A", "B"}) {
    const Hash points = client.hgetall(service + ".DataPoints");
    EXPECT_EQ(points.size(), 3u);
    for (const auto& [name, record] : points) EXPECT_EQ(name.rfind(service + ".", 0), 0u) << name;
  }
  PeerResult set = peer({"set", "A", "Boiler.Setpoint=30"});
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(host.read("Boiler.Setpoint"), "30") << "both serve the same model";
  EXPECT_EQ(values("A", "A.Boiler.Setpoint"), Texts{"30"});
  EXPECT_FALSE(client.exists("BValue:B.Boiler.Setpoint"));
  set = peer({"set", "B", "A.Boiler.Setpoint=31"});
  EXPECT_EQ(set.status, 1) << "a member of A's catalogue is no member of B";
  EXPECT_EQ(host.read("Boiler.Setpoint"), "30");

  EXPECT_GT(client.clientCount(), 1);
  host.send("quit");
  EXPECT_EQ(host.process.wait(10s), 0);
  EXPECT_TRUE(waitUntil([&] { return client.clientCount() == 1; }, 3s))
      << "only this test's connection is left";
  EXPECT_EQ(host.process.stderrText(), "");
}

}  // namespace
}  // namespace tul::test
