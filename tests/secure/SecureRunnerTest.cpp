// ormanta-host and tul-peer as processes against a TLS-only use of a private redis-server with
// ACL users: the runner passes the security keys through, the peer takes redis-cli's options,
// and nothing either of them prints holds a password.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/Processes.h"
#include "secure/SecureRedis.h"

namespace tul::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::string kModel = R"({"elements":[
  {"key":"Boiler","attributes":[{"name":"Setpoint","type":"double","access":"b","value":21}]}]})";
const char* const kWrongPassword = "wrong-Secret-9";

class SecureRunnerTest : public ::testing::Test {
 protected:
  // tul-peer with args, REDISCLI_AUTH set to auth when it is given; its output is kept.
  PeerResult peer(const Texts& args, const char* auth = nullptr) {
    PeerResult result = runPeer(dir, args, auth);
    printed += result.out + result.err;
    return result;
  }
  Texts overTls(Texts args) const {
    Texts all = {"--address", redis.tlsAddress(), "--tls", "--cacert", redis.file("ca.pem")};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }

  SecureRedis redis;
  TempDirectory dir;
  std::string printed;  // everything the peers printed
};

TEST_F(SecureRunnerTest, HostAndPeerWorkOverTlsAsAclUsersAndPrintNoPassword) {
  const auto config = [&](const char* service, const char* password) {
    return R"({"address":")" + redis.tlsAddress() + R"(","serviceName":")" + service +
           R"(","username":"tul","password":")" + password + R"(","tls":"true","tlsCaFile":")" +
           redis.file("ca.pem") + R"("})";
  };
  const std::string configFile = dir.write("service.json", config("S", SecureRedis::kServicePassword));
  Host host(dir, dir.write("model.json", kModel), {configFile, config("W", kWrongPassword)});
  ASSERT_TRUE(host.waitUntilServing("S")) << host.process.stderrText();
  ASSERT_TRUE(host.waitForAttributes("W", [](HostLine& l) {
    return l["attributes.dataConnectionError.message"] ==
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
  EXPECT_THAT(services.out, HasSubstr("S"));

  const std::pair<Texts, std::string> refused[] = {
      {overTls({"--user", "peer", "--pass", kWrongPassword, "services"}),
       "WRONGPASS invalid username-password pair or user is disabled."},
      {overTls({"--user", "tul", "--pass", SecureRedis::kServicePassword, "services"}), "NOPERM"},
      {{"--address", redis.tlsAddress(), "--tls", "services"}, "certificate verify failed"},
      {{"--address", redis.tlsAddress(), "--user", "peer", "services"}, "does it expect TLS?"},
  };
  for (const auto& [args, expected] : refused) {
    const PeerResult result = peer(args, SecureRedis::kPeerPassword);
    EXPECT_EQ(result.status, 1) << expected;
    EXPECT_THAT(result.err, HasSubstr(expected));
  }
  const PeerResult misused = peer(overTls({"--user", "peer", "services"}));
  EXPECT_EQ(misused.status, 2);
  EXPECT_THAT(misused.err, HasSubstr("--user needs --pass (or REDISCLI_AUTH)"));

  host.send("quit");
  host.waitFor([](HostLine&) { return false; });  // the rest of its output
  EXPECT_EQ(host.process.wait(10s), 0);
  printed += host.output + host.process.stderrText();
  for (const char* password : {SecureRedis::kServicePassword, kWrongPassword, SecureRedis::kPeerPassword}) {
    EXPECT_THAT(printed, Not(HasSubstr(password)));
  }
}

}  // namespace
}  // namespace tul::test
