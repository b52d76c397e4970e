// The built ormanta-host and tul-peer against a private redis-server: what peers see of a
// service (registration, values, set), and how the service rides out a lost server.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <thread>

#include "HostProcess.h"
#include "TestModel.h"
#include "ormanta/utils/json/Decoder.h"
#include "support/RedisClient.h"
#include "support/RedisServer.h"
#include "support/Wait.h"

namespace tul::test {
namespace {

namespace json = ormanta::utils::json::decoder;

class ServiceEndToEndTest : public ::testing::Test {
 protected:
  std::filesystem::path model() const { return dir.write("model.json", kTestModel); }
  std::string config(const std::string& serviceName) const {
    return serviceConfig(redis.address(), serviceName);
  }
  std::vector<std::string> peerArgs(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--address", redis.address()});
    return args;
  }
  // The texts of every "value" field of a stream, oldest first.
  std::vector<std::string> streamValues(RedisClient& client, const std::string& key) {
    std::vector<std::string> values;
    for (const auto& entry : client.xrange(key)) {
      for (const auto& [field, value] : entry.fields) {
        if (field == "value") values.push_back(value);
      }
    }
    return values;
  }

  TempDirectory dir;
  RedisServer redis;
};

// "YYYY-MM-DDThh:mm:ss.<fraction digits>Z". (No std::regex: GCC 12 warns inside it under sanitizers.)
bool isUtcTime(const std::string& text, std::size_t fractionDigits) {
  const std::string shape = "dddd-dd-ddTdd:dd:dd." + std::string(fractionDigits, 'd') + "Z";
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i])
      return false;
  }
  return true;
}

struct MemberRecord {
  std::string name, type, access, updateChn;
  std::uint64_t size;
  bool operator==(const MemberRecord&) const = default;
};

std::vector<MemberRecord> structureMembers(const std::string& text) {
  std::vector<MemberRecord> members;
  const json::Document document = json::Document::parse(text);
  const json::Array array = document.root().asArray();
  for (std::size_t i = 0; i < array.size(); ++i) {
    const json::Object m = array.at(i).asObject();
    members.push_back({std::string(m.find("name")->asString().view()),
                       std::string(m.find("type")->asString().view()),
                       std::string(m.find("access")->asString().view()),
                       std::string(m.find("updateChn")->asString().view()), m.find("size")->asUInt64()});
  }
  return members;
}

TEST_F(ServiceEndToEndTest, RegistrationRecordsMatchTheModel) {
  HostProcess host(model(), {config("S")}, dir);
  ASSERT_TRUE(host.waitUntilServing("S"));
  RedisClient client(redis);

  const auto services = client.hgetall("Services");
  ASSERT_EQ(services.count("S"), 1u);
  EXPECT_EQ(services.at("S"),
            R"({"dataPointsKey":"S.DataPoints","dataTypesKey":"S.DataTypes","cmdChn":"S.Commands"})");

  const auto dataPoints = client.hgetall("S.DataPoints");
  std::vector<std::string> names;
  for (const auto& [name, record] : dataPoints) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"S.Boiler", "S.Boiler.Pump", "S.Empty"}));
  const auto types = client.hgetall("S.DataTypes");
  auto membersOf = [&](const std::string& dataPoint) {
    const json::Document document = json::Document::parse(dataPoints.at(dataPoint));
    const json::Object record = document.root().asObject();
    EXPECT_EQ(record.find("name")->asString().view(), dataPoint);
    EXPECT_EQ(record.find("access")->asString().view(), "b");
    EXPECT_EQ(record.find("updateChn")->asString().view(), "SValue:" + dataPoint);
    const std::string type(record.find("type")->asString().view());
    EXPECT_EQ(types.count(type), 1u) << type;
    std::vector<MemberRecord> members =
        types.count(type) ? structureMembers(types.at(type)) : std::vector<MemberRecord>{};
    std::uint64_t total = 0;
    for (const auto& member : members) total += member.size;
    EXPECT_EQ(record.find("size")->asUInt64(), total) << dataPoint;
    return members;
  };
  EXPECT_EQ(membersOf("S.Boiler"), (std::vector<MemberRecord>{
                                       {".Count", "Int", "r", ".Count", 64},
                                       {".Mode", "String", "w", ".Mode", 524288},
                                       {".On", "Bool", "b", ".On", 8},
                                       {".Setpoint", "Real", "b", ".Setpoint", 64},
                                       {".Temp", "Real", "r", ".Temp", 64},
                                   }));
  EXPECT_EQ(membersOf("S.Boiler.Pump"), (std::vector<MemberRecord>{
                                            {".Q", "String", "b", ".Q", 80},
                                            {".Since", "String", "r", ".Since", 46},
                                            {".Speed", "UInt", "b", ".Speed", 16},
                                        }));
  EXPECT_TRUE(membersOf("S.Empty").empty());
  EXPECT_EQ(types.count("e_quality"), 1u);
  EXPECT_EQ(types.count("e_elementCategory"), 1u);

  // The peer tool shows the same catalogue.
  PeerResult browse = runPeer(peerArgs({"browse", "S"}), dir);
  EXPECT_EQ(browse.status, 0) << browse.err;
  const std::string table = squeezeBlanks(browse.out);
  EXPECT_NE(table.find(" S.Boiler.Pump.Speed UInt 16 b\n"), std::string::npos) << browse.out;
  EXPECT_NE(table.find(" S.Boiler.Mode String 524288 w\n"), std::string::npos) << browse.out;
  EXPECT_NE(table.find("S.Empty (type t_"), std::string::npos) << browse.out;
  EXPECT_NE(table.find("3 data points, 8 members"), std::string::npos) << browse.out;
  PeerResult list = runPeer(peerArgs({"services"}), dir);
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(squeezeBlanks(list.out).find("S S.DataPoints S.DataTypes S.Commands"), std::string::npos)
      << list.out;
}

TEST_F(ServiceEndToEndTest, WatchGetsTheFirstValueAndLaterChangesAndEndsItsSubscription) {
  HostProcess host(model(), {config("S")}, dir);
  ASSERT_TRUE(host.waitUntilServing("S"));
  ChildProcess watch({TUL_PEER, "--address", redis.address(), "watch", "S", "Boiler.Setpoint",
                      "S.Boiler.Count", "--interval", "100"},
                     dir.path() / "watch-stderr.txt");

  // "TIME  MEMBER  VALUE" lines, collected per member.
  std::map<std::string, std::vector<std::string>> seen;
  auto readUntil = [&](const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      std::optional<std::string> line = watch.readLine(200ms);
      if (!line) continue;
      // "TIME  MEMBER  VALUE"
      const std::size_t timeEnd = line->find(' ');
      const std::size_t memberStart = line->find_first_not_of(' ', timeEnd);
      const std::size_t memberEnd = line->find(' ', memberStart);
      const std::size_t valueStart = line->find_first_not_of(' ', memberEnd);
      ASSERT_TRUE(timeEnd != std::string::npos && memberEnd != std::string::npos &&
                  valueStart != std::string::npos)
          << *line;
      EXPECT_TRUE(isUtcTime(line->substr(0, timeEnd), 3)) << *line;
      seen[line->substr(memberStart, memberEnd - memberStart)].push_back(line->substr(valueStart));
    }
  };
  readUntil([&] { return !seen["S.Boiler.Setpoint"].empty() && seen["S.Boiler.Count"].size() >= 3; });
  ASSERT_FALSE(seen["S.Boiler.Setpoint"].empty()) << watch.stderrText();
  EXPECT_EQ(seen["S.Boiler.Setpoint"].front(), "21");
  ASSERT_GE(seen["S.Boiler.Count"].size(), 3u);
  const auto& counts = seen["S.Boiler.Count"];
  EXPECT_LT(std::stoll(counts.front()), std::stoll(counts.back()));

  host.send("write Boiler.Setpoint 23.5");
  readUntil([&] { return seen["S.Boiler.Setpoint"].back() == "23.5"; });
  EXPECT_EQ(seen["S.Boiler.Setpoint"].back(), "23.5");

  watch.signal(SIGINT);
  EXPECT_EQ(watch.wait(10s), std::optional<int>(0)) << watch.stderrText();
  // Its last command is a subscribe without names, and the service answered it.
  RedisClient client(redis);
  const auto entries = client.xrange("S.Commands");
  std::string subscriptionId;
  std::string endId;
  for (const auto& entry : entries) {
    bool subscribe = false, hasName = false;
    std::string id;
    for (const auto& [field, value] : entry.fields) {
      subscribe = subscribe || (field == "cmd" && value == "subscribe");
      hasName = hasName || field == "name";
      if (field == "subscriptionId") id = value;
    }
    if (!subscribe) continue;
    if (subscriptionId.empty()) subscriptionId = id;
    EXPECT_EQ(id, subscriptionId) << "one subscription ID per watch";
    if (!hasName) endId = entry.id;
  }
  EXPECT_EQ(subscriptionId.rfind("tul-peer-", 0), 0u) << subscriptionId;
  ASSERT_FALSE(endId.empty()) << "no ending subscribe";
  bool answered = false;
  for (const auto& entry : entries) {
    for (const auto& [field, value] : entry.fields)
      answered = answered || (field == "responseId" && value == endId);
  }
  EXPECT_TRUE(answered);
}

TEST_F(ServiceEndToEndTest, SetWritesThroughToTheHostAndIsEchoed) {
  HostProcess host(model(), {config("S")}, dir, {"--reconnect-every", "500", "--no-simulate"});
  ASSERT_TRUE(host.waitUntilServing("S"));
  PeerResult set =
      runPeer(peerArgs({"set", "S", "Boiler.Setpoint=22.25", "S.Boiler.On=true", "Boiler.Pump.Q=Bad"}), dir);
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_NE(set.out.find("result=success"), std::string::npos) << set.out;
  EXPECT_EQ(host.read("Boiler.Setpoint"), "22.25");
  EXPECT_EQ(host.read("Boiler.On"), "true");
  EXPECT_EQ(host.read("Boiler.Pump.Q"), "Bad");
  RedisClient client(redis);
  EXPECT_EQ(streamValues(client, "SValue:S.Boiler.Setpoint"), std::vector<std::string>{"22.25"});
  EXPECT_EQ(streamValues(client, "SValue:S.Boiler.On"), std::vector<std::string>{"true"});
}

TEST_F(ServiceEndToEndTest, ABadValueGetsAnErrorResponse) {
  HostProcess host(model(), {config("S")}, dir, {"--reconnect-every", "500", "--no-simulate"});
  ASSERT_TRUE(host.waitUntilServing("S"));
  PeerResult set = runPeer(peerArgs({"set", "S", "Boiler.On=TRUE"}), dir);
  EXPECT_EQ(set.status, 1);
  EXPECT_NE(set.err.find(R"(Only "true" and "false" values are supported)"), std::string::npos) << set.err;
  EXPECT_NE(set.out.find("result=error"), std::string::npos) << set.out;
  EXPECT_EQ(host.read("Boiler.On"), "false");

  set = runPeer(peerArgs({"set", "S", "Boiler.Nothing=1"}), dir);
  EXPECT_EQ(set.status, 1);
  EXPECT_NE(set.err.find("No channel S.Boiler.Nothing exists."), std::string::npos) << set.err;
}

TEST_F(ServiceEndToEndTest, SetWithoutAServiceGivesUpAfterFiveSeconds) {
  const auto start = std::chrono::steady_clock::now();
  PeerResult set = runPeer(peerArgs({"set", "Nobody", "X.Y=1"}), dir, 15s);
  EXPECT_EQ(set.status, 1);
  EXPECT_NE(set.err.find("no response"), std::string::npos) << set.err;
  EXPECT_GE(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(ServiceEndToEndTest, LosingRedisShowsTheDisconnectAndTheReconnectTaskRecovers) {
  HostProcess host(model(), {config("S")}, dir);
  ASSERT_TRUE(host.waitFor([](const HostLine& l) { return l.isEvent("connected"); }));
  ASSERT_TRUE(host.waitUntilServing("S"));

  redis.stop();
  std::optional<HostLine> down = host.waitFor([](const HostLine& l) { return l.isEvent("disconnected"); });
  ASSERT_TRUE(down);
  EXPECT_EQ(down->service, "S");
  EXPECT_TRUE(isUtcTime(down->time, 7)) << down->time;
  std::optional<HostLine> failed = host.waitForAttributes("S", [](const HostLine& l) {
    return !l.flag("state") && !l.flag("dataConnectionState") &&
           l.errors.at("dataConnectionError").value != 0;
  });
  ASSERT_TRUE(failed);
  EXPECT_NE(failed->errors.at("error").value, 0);
  EXPECT_NE(failed->errors.at("error").message, "no error");

  redis.start();
  ASSERT_TRUE(host.waitFor([](const HostLine& l) { return l.isEvent("connected"); }, 15s));
  ASSERT_TRUE(host.waitUntilServing("S"));
  RedisClient client(redis);
  EXPECT_EQ(client.hgetall("Services").count("S"), 1u) << "registered again on the restarted server";
}

TEST_F(ServiceEndToEndTest, TwoServicesSideBySideKeepToTheirOwnKeys) {
  HostProcess host(model(), {config("A"), config("B")}, dir, {"--reconnect-every", "500", "--no-simulate"});
  ASSERT_TRUE(host.waitUntilServing("A"));
  ASSERT_TRUE(host.waitUntilServing("B"));
  RedisClient client(redis);
  ASSERT_TRUE(waitUntil([&] { return client.hgetall("Services").size() == 2; }, 5s));
  for (const std::string service : {"A", "B"}) {
    const auto dataPoints = client.hgetall(service + ".DataPoints");
    EXPECT_EQ(dataPoints.size(), 3u);
    for (const auto& [name, record] : dataPoints) EXPECT_EQ(name.rfind(service + ".", 0), 0u) << name;
  }

  PeerResult set = runPeer(peerArgs({"set", "A", "Boiler.Setpoint=30"}), dir);
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(host.read("Boiler.Setpoint"), "30") << "both serve the same model";
  EXPECT_EQ(streamValues(client, "AValue:A.Boiler.Setpoint"), std::vector<std::string>{"30"});
  EXPECT_FALSE(client.exists("BValue:B.Boiler.Setpoint"));

  // A member of A's catalogue is no member of B.
  set = runPeer(peerArgs({"set", "B", "A.Boiler.Setpoint=31"}), dir);
  EXPECT_EQ(set.status, 1);
  EXPECT_EQ(host.read("Boiler.Setpoint"), "30");
}

TEST_F(ServiceEndToEndTest, QuitEndsEveryConnectionAndExitsZero) {
  HostProcess host(model(), {config("A"), config("B")}, dir);
  ASSERT_TRUE(host.waitUntilServing("A"));
  RedisClient client(redis);
  auto clients = [&] {
    const std::string list = client.str({"CLIENT", "LIST"});
    return std::count(list.begin(), list.end(), '\n');
  };
  EXPECT_GT(clients(), 1);
  host.send("quit");
  EXPECT_EQ(host.process().wait(10s), std::optional<int>(0));
  // Only this test's own connection is left.
  EXPECT_TRUE(waitUntil([&] { return clients() == 1; }, 3s)) << client.str({"CLIENT", "LIST"});
  EXPECT_EQ(host.process().stderrText(), "");
}

}  // namespace
}  // namespace tul::test
