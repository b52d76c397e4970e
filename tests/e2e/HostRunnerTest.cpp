// ormanta-host on its own: start errors, the stdin commands, and how it ends. The service
// points at a closed loopback port here, so no Redis server is involved.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <thread>

#include "HostProcess.h"
#include "TestModel.h"

namespace tul::test {
namespace {

using ::testing::HasSubstr;

constexpr const char* kClosedAddress = "127.0.0.1:1";

class HostRunnerTest : public ::testing::Test {
 protected:
  std::filesystem::path model() const { return dir.write("model.json", kTestModel); }

  // Runs the host with args and expects it to fail at start: exit 2 and one line on stderr.
  std::string startFailure(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {ORMANTA_HOST};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess host(argv, dir.path() / "start-failure.txt");
    host.closeStdin();
    EXPECT_EQ(host.wait(10s), std::optional<int>(2));
    EXPECT_FALSE(host.readLine(100ms).has_value()) << "nothing on stdout";
    const std::string err = host.stderrText();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    return err;
  }

  TempDirectory dir;
};

TEST_F(HostRunnerTest, ABadPluginPathEndsTheStartWithStatus2) {
  const std::string err = startFailure({"--plugin", "/nonexistent/libNothing.so", "--model", model().string(),
                                        "--config", serviceConfig(kClosedAddress, "S")});
  EXPECT_NE(err.find("cannot load plug-in /nonexistent/libNothing.so"), std::string::npos) << err;
}

TEST_F(HostRunnerTest, ABadModelFileEndsTheStartNamingTheProblem) {
  const std::string config = serviceConfig(kClosedAddress, "S");
  std::string err = startFailure(
      {"--plugin", TUL_MODULE, "--model", (dir.path() / "missing.json").string(), "--config", config});
  EXPECT_NE(err.find("missing.json"), std::string::npos) << err;

  const auto badType =
      dir.write("bad-type.json", R"({"elements":[{"key":"A","attributes":[{"name":"X","type":"float"}]}]})");
  err = startFailure({"--plugin", TUL_MODULE, "--model", badType.string(), "--config", config});
  EXPECT_NE(err.find("$.elements[0].attributes[0].type"), std::string::npos) << err;
  EXPECT_NE(err.find("float"), std::string::npos) << err;

  const auto badJson = dir.write("bad-json.json", R"({"elements":[)");
  err = startFailure({"--plugin", TUL_MODULE, "--model", badJson.string(), "--config", config});
  EXPECT_NE(err.find("invalid JSON"), std::string::npos) << err;

  const auto dottedKey = dir.write("dotted.json", R"({"elements":[{"key":"A.B"}]})");
  err = startFailure({"--plugin", TUL_MODULE, "--model", dottedKey.string(), "--config", config});
  EXPECT_NE(err.find("$.elements[0]"), std::string::npos) << err;
}

TEST_F(HostRunnerTest, ABadConfigurationEndsTheStartNamingTheProblem) {
  std::string err = startFailure({"--plugin", TUL_MODULE, "--model", model().string(), "--config",
                                  R"({"address":"127.0.0.1:1","colour":"blue"})"});
  EXPECT_NE(err.find("configuration 1"), std::string::npos) << err;
  EXPECT_NE(err.find("colour"), std::string::npos) << err;

  err = startFailure({"--plugin", TUL_MODULE, "--model", model().string(), "--config",
                      serviceConfig(kClosedAddress, "S"), "--config", "{not json"});
  EXPECT_NE(err.find("configuration 2"), std::string::npos) << err;

  err = startFailure({"--plugin", TUL_MODULE, "--model", model().string(), "--config",
                      (dir.path() / "no-such-config.json").string()});
  EXPECT_NE(err.find("no-such-config.json"), std::string::npos) << err;
}

TEST_F(HostRunnerTest, BadCommandLinesEndWithStatus2) {
  EXPECT_NE(startFailure({"--model", model().string(), "--config", "{}"}).find("--plugin"),
            std::string::npos);
  EXPECT_NE(startFailure({"--plugin", TUL_MODULE, "--model", model().string()}).find("--config"),
            std::string::npos);
  EXPECT_NE(
      startFailure({"--plugin", TUL_MODULE, "--model", model().string(), "--config", "{}", "--frobnicate"})
          .find("--frobnicate"),
      std::string::npos);
  EXPECT_NE(startFailure({"--plugin", TUL_MODULE, "--model", model().string(), "--config", "{}",
                          "--reconnect-every", "soon"})
                .find("--reconnect-every"),
            std::string::npos);
}

TEST_F(HostRunnerTest, PrintsTheInitialAttributesOnceAtStart) {
  HostProcess host(model(), {serviceConfig(kClosedAddress, "S")}, dir);
  std::optional<HostLine> first = host.waitFor([](const HostLine&) { return true; });
  ASSERT_TRUE(first);
  EXPECT_EQ(first->type, "attributes");
  EXPECT_EQ(first->service, "S");
  EXPECT_EQ(first->texts["address"], kClosedAddress);
  EXPECT_EQ(first->texts["serviceName"], "S");
  EXPECT_EQ(first->flags.size() + first->errors.size() + first->texts.size(), 10u) << first->text;
  EXPECT_FALSE(first->flag("state"));
  EXPECT_EQ(first->errors["error"].value, 3);
  EXPECT_EQ(first->errors["error"].category, "Ormanta.TulService");
  EXPECT_EQ(first->errors["serviceRegistrationError"].message, "the service registration is pending");
  host.send("quit");
  EXPECT_EQ(host.process().wait(10s), std::optional<int>(0));
}

TEST_F(HostRunnerTest, ReadAndWriteUseTheValueStreamTexts) {
  HostProcess host(model(), {serviceConfig(kClosedAddress, "S")}, dir, {"--no-simulate"});
  EXPECT_EQ(host.read("Boiler.Temp"), "20.5");
  EXPECT_EQ(host.read("Boiler.Pump.Since"), "2026-01-02T03:04:05.0000000Z");
  EXPECT_EQ(host.read("Boiler.Pump.Q"), "Good");
  EXPECT_EQ(host.read("Boiler.name"), "Boiler 1");
  EXPECT_EQ(host.read("Boiler.Pump.key"), "Boiler.Pump");

  // The host's own writes ignore access modes: Temp is read-only for peers.
  host.send("write Boiler.Temp 1e+20");
  EXPECT_EQ(host.read("Boiler.Temp"), "1e+20");
  host.send("write Boiler.On true");
  EXPECT_EQ(host.read("Boiler.On"), "true");
  host.send("write Boiler.Pump.Speed 65535");
  EXPECT_EQ(host.read("Boiler.Pump.Speed"), "65535");
  host.send("write Boiler.Pump.Since 2027-05-06T07:08:09.5Z");
  EXPECT_EQ(host.read("Boiler.Pump.Since"), "2027-05-06T07:08:09.5000000Z");
  host.send("write Boiler.Pump.Q 2");
  EXPECT_EQ(host.read("Boiler.Pump.Q"), "Bad");
  host.send("write Boiler.Pump.Q NotConnected");
  EXPECT_EQ(host.read("Boiler.Pump.Q"), "NotConnected");
  host.send("write Boiler.Mode  two words ");
  EXPECT_EQ(host.read("Boiler.Mode"), " two words ") << "a text value is the whole rest of the line";

  // The service element's own attributes are readable as <service>.<attribute>.
  EXPECT_EQ(host.read("S.state"), "false");
  EXPECT_EQ(host.read("S.serviceName"), "S");

  host.send("quit");
  EXPECT_EQ(host.process().wait(10s), std::optional<int>(0));
}

TEST_F(HostRunnerTest, BadCommandLinesAnswerWithAnErrorLineAndChangeNothing) {
  HostProcess host(model(), {serviceConfig(kClosedAddress, "S")}, dir, {"--no-simulate"});
  auto errorFor = [&](const std::string& line) {
    host.send(line);
    std::optional<HostLine> answer = host.waitFor([](const HostLine& l) { return l.type == "error"; }, 5s);
    return answer ? answer->message : std::string("no error line");
  };
  EXPECT_THAT(errorFor("write Boiler.On TRUE"), HasSubstr("not a valid bool"));
  EXPECT_THAT(errorFor("write Boiler.Setpoint 12abc"), HasSubstr("not a valid double"));
  EXPECT_THAT(errorFor("write Boiler.Pump.Speed 65536"), HasSubstr("bit size"));
  EXPECT_THAT(errorFor("write Boiler.Pump.Speed -1"), HasSubstr("not a valid uint"));
  EXPECT_THAT(errorFor("write Boiler.Pump.Q Excellent"), HasSubstr("not a valid quality"));
  EXPECT_THAT(errorFor("write Boiler.Nothing 1"), HasSubstr("no such attribute"));
  EXPECT_THAT(errorFor("read Nowhere.X"), HasSubstr("no such attribute"));
  EXPECT_THAT(errorFor("write Boiler.On"), HasSubstr("usage"));
  EXPECT_THAT(errorFor("fly away"), HasSubstr("unknown command"));
  EXPECT_EQ(host.read("Boiler.On"), "false");
  EXPECT_EQ(host.read("Boiler.Setpoint"), "21");
  EXPECT_EQ(host.read("Boiler.Pump.Speed"), "1200");
  host.send("quit");
  EXPECT_EQ(host.process().wait(10s), std::optional<int>(0));
}

TEST_F(HostRunnerTest, SimulatedValuesChangeUnlessSimulationIsOff) {
  {
    HostProcess host(model(), {serviceConfig(kClosedAddress, "S")}, dir);
    const std::string before = host.read("Boiler.Count");
    std::this_thread::sleep_for(700ms);
    const std::string after = host.read("Boiler.Count");
    EXPECT_GT(std::stoll(after), std::stoll(before));
    host.send("quit");
    EXPECT_EQ(host.process().wait(10s), std::optional<int>(0));
  }
  HostProcess host(model(), {serviceConfig(kClosedAddress, "S")}, dir, {"--no-simulate"});
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(host.read("Boiler.Count"), "0");
  host.send("quit");
  EXPECT_EQ(host.process().wait(10s), std::optional<int>(0));
}

TEST_F(HostRunnerTest, EndOfInputDoesNotStopItButSignalsDo) {
  for (int signalNumber : {SIGTERM, SIGINT}) {
    HostProcess host(model(), {serviceConfig(kClosedAddress, "S")}, dir);
    ASSERT_TRUE(host.waitFor([](const HostLine& l) { return l.type == "attributes"; }));
    host.process().closeStdin();
    EXPECT_FALSE(host.process().wait(500ms).has_value()) << "end of input must not stop the host";
    host.process().signal(signalNumber);
    EXPECT_EQ(host.process().wait(10s), std::optional<int>(0)) << "signal " << signalNumber;
  }
}

}  // namespace
}  // namespace tul::test
