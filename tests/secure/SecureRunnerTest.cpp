// ormanta-host and tul-peer as processes against a TLS-only use of a private redis-server with
// ACL users: the runner passes the security keys through, the peer takes redis-cli's options,
// and nothing either of them prints holds a password.

#include <gtest/gtest.h>

#include "e2e/Processes.h"
#include "secure/SecureRedis.h"

namespace tul::test {
namespace {

const std::string kModel = R"({"elements":[
  {"key":"Boiler","attributes":[{"name":"Setpoint","type":"double","access":"b","value":21}]}]})";
const char* const kWrongPassword = "wrong-Secret-9";

class SecureRunnerTest : public ::testing::Test {
 protected:
  // tul-peer with args, REDISCLI_AUTH set to auth when it is given; its output is kept.
  PeerResult peer(Texts args, const char* auth = nullptr) {
    Texts argv = {"/usr/bin/env", "-u", "REDISCLI_AUTH"};
    if (auth != nullptr) argv.push_back(std::string("REDISCLI_AUTH=") + auth);
    argv.push_back(TUL_PEER);
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess process(argv, dir.fresh("peer-stderr"));
    process.closeStdin();
    PeerResult result;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::optional<std::string> line = process.readLine(until(deadline))) result.out += *line + "\n";
    result.status = process.wait(until(deadline)).value_or(-1);
    result.err = process.stderrText();
    printed += result.out + result.err;
    return result;
  }
  Texts overTls(Texts args) const {
    Texts all = {"--address", redis.tlsAddress(), "--tls", "--cacert", redis.file("ca.pem")};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }
  // Reads the host's lines until pred holds for the latest attributes of every service; every
  // line read is kept in printed.
  bool waitFor(Host& host, const std::function<bool(std::map<std::string, HostLine>&)>& pred) {
    if (pred(latest)) return true;
    return host
        .waitFor([&](HostLine& line) {
          for (const auto& [key, value] : line) printed += key + "=" + value + "\n";
          if (line["type"] == "attributes") latest[line["service"]] = line;
          return pred(latest);
        })
        .has_value();
  }

  SecureRedis redis;
  TempDirectory dir;
  std::string printed;                     // everything the processes printed
  std::map<std::string, HostLine> latest;  // each service's latest attributes line
};

TEST_F(SecureRunnerTest, HostAndPeerWorkOverTlsAsAclUsersAndPrintNoPassword) {
  const std::string config = dir.write(
      "service.json",
      R"({"address":")" + redis.tlsAddress() + R"(","serviceName":"S","username":"tul","password":")" +
          SecureRedis::kServicePassword + R"(","tls":"true","tlsCaFile":")" + redis.file("ca.pem") + R"("})");
  const std::string wrong = R"({"address":")" + redis.tlsAddress() +
                            R"(","serviceName":"W","username":"tul",)" + R"("password":")" + kWrongPassword +
                            R"(","tls":"true","tlsCaFile":")" + redis.file("ca.pem") + R"("})";
  Host host(dir, dir.write("model.json", kModel), {config, wrong});
  ASSERT_TRUE(waitFor(host, [](std::map<std::string, HostLine>& services) {
    return services["S"]["attributes.state"] == "true" &&
           services["S"]["attributes.isServiceRegistered"] == "true" &&
           services["W"]["attributes.dataConnectionError.message"] ==
               "WRONGPASS invalid username-password pair or user is disabled.";
  })) << host.process.stderrText();

  const PeerResult set = peer(overTls({"--user", "peer", "--pass", SecureRedis::kPeerPassword, "--sni",
                                       "localhost", "set", "S", "Boiler.Setpoint=5"}));
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(host.read("Boiler.Setpoint"), "5");
  const PeerResult services = peer(overTls({"--user", "peer", "--cert", redis.file("client.pem"), "--key",
                                            redis.file("client.key"), "services"}),
                                   SecureRedis::kPeerPassword);
  EXPECT_EQ(services.status, 0) << services.err;
  EXPECT_NE(services.out.find("S"), std::string::npos) << services.out;

  const std::pair<Texts, std::string> refused[] = {
      {overTls({"--user", "peer", "--pass", kWrongPassword, "services"}),
       "WRONGPASS invalid username-password pair or user is disabled."},
      {overTls({"--user", "tul", "--pass", SecureRedis::kServicePassword, "services"}), "NOPERM"},
      {{"--address", redis.tlsAddress(), "--tls", "services"}, "certificate verify failed"},
      {{"--address", redis.tlsAddress(), "--user", "peer", "services"}, "does it expect --tls?"},
  };
  for (const auto& [args, expected] : refused) {
    const PeerResult result = peer(args, SecureRedis::kPeerPassword);
    EXPECT_EQ(result.status, 1) << expected;
    EXPECT_NE(result.err.find(expected), std::string::npos) << result.err;
  }
  const std::pair<Texts, std::string> misused[] = {
      {overTls({"--cert", redis.file("client.pem"), "services"}), "--cert needs --key"},
      {{"--address", redis.tlsAddress(), "--cacert", redis.file("ca.pem"), "services"},
       "--cacert needs --tls"},
      {overTls({"--user", "peer", "services"}), "--user needs --pass (or REDISCLI_AUTH)"},
  };
  for (const auto& [args, expected] : misused) {
    const PeerResult result = peer(args);
    EXPECT_EQ(result.status, 2) << expected;
    EXPECT_NE(result.err.find(expected), std::string::npos) << result.err;
  }

  host.send("quit");
  waitFor(host, [](std::map<std::string, HostLine>&) { return false; });  // the rest of its output
  EXPECT_EQ(host.process.wait(10s), 0);
  printed += host.process.stderrText();
  for (const char* password : {SecureRedis::kServicePassword, kWrongPassword, SecureRedis::kPeerPassword}) {
    EXPECT_EQ(printed.find(password), std::string::npos) << password << " in\n" << printed;
  }
}

}  // namespace
}  // namespace tul::test
