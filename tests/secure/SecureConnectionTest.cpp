// The service element against a private redis-server with a TLS port and ACL users: which
// security settings its configuration takes, that it serves over TLS and AUTH, which text each
// refusal leaves in its attributes (and that no refusal hangs its cleanup), and that its ACL
// rule is exactly what it needs. No attribute or response may ever hold a password.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <chrono>
#include <functional>
#include <future>
#include <initializer_list>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "ormanta/config/Config.h"
#include "ormanta/host/Host.h"
#include "redis/Transport.h"
#include "secure/SecureRedis.h"
#include "support/CommandPeer.h"
#include "support/Errors.h"
#include "support/LoopbackPeer.h"
#include "support/ServiceHarness.h"
#include "support/Wait.h"

namespace {

using namespace std::chrono_literals;
using namespace ormanta;
using namespace ormanta::plugins::TulService;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace tul::test;
using Attr = ServiceAttribute;
using Settings = std::vector<std::pair<std::string, std::string>>;
using Clock = std::chrono::steady_clock;
using ormanta::utils::io::StopSource;

constexpr Attr kErrorAttributes[] = {Attr::kDataConnectionError, Attr::kCommandConnectionError,
                                     Attr::kServiceRegistrationError, Attr::kError};
const char* const kPasswords[] = {SecureRedis::kAdminPassword, SecureRedis::kServicePassword,
                                  SecureRedis::kRetiredPassword, SecureRedis::kPeerPassword,
                                  "wrong-Secret-9"};

// A configuration object of text values (the tests' values need no JSON escapes).
std::string json(const Settings& settings) {
  std::string text = "{";
  for (const auto& [key, value] : settings)
    text += (text.size() > 1 ? ",\"" : "\"") + key + "\":\"" + value + "\"";
  return text + "}";
}

class SecureConnectionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { redis = std::make_unique<SecureRedis>(); }
  static void TearDownTestSuite() { redis.reset(); }

  void SetUp() override {
    harness.model().addElement(
        {"Boiler", "", {}, {{"Setpoint", data::NativeType::kDouble, model::kAccessReadWrite, 64, 21.0}}});
  }
  void TearDown() override {
    stop();
    redis->requireClientCertificates(false);
  }

  // TLS to the server's TLS port, trusting its CA, as user (no AUTH when user is empty), with
  // changes made to these settings.
  Settings overTls(const std::string& user = "tul",
                   const std::string& password = SecureRedis::kServicePassword,
                   const Settings& changes = {}) const {
    Settings settings = {{"address", redis->tlsAddress()},
                         {"serviceName", "S"},
                         {"tls", "true"},
                         {"tlsCaFile", redis->file("ca.pem")}};
    if (!user.empty()) settings.insert(settings.end(), {{"username", user}, {"password", password}});
    for (const auto& [key, value] : changes) {
      std::erase_if(settings, [&](const auto& setting) { return setting.first == key; });
      settings.emplace_back(key, value);
    }
    return settings;
  }

  void start(const Settings& settings, const std::function<void(Service&)>& tune = {}) {
    service = harness.create(json(settings));
    if (tune) tune(*service);
    service->prepare();
  }
  // Cleans up; returns how long it took.
  Clock::duration stop() {
    const auto begin = Clock::now();
    if (service) service->cleanup();
    const auto took = Clock::now() - begin;
    service.reset();
    return took;
  }

  bool up() const {
    return flagAttribute(*service, Attr::kState) && flagAttribute(*service, Attr::kIsServiceRegistered);
  }
  std::string errorTexts() const {
    std::string texts;
    for (Attr which : kErrorAttributes) texts += errorAttribute(*service, which).message() + "\n";
    return texts;
  }
  std::string errorText(Attr which) const { return errorAttribute(*service, which).message(); }

  // Subscribes to a member and sets it; true once both are answered with success, a value is
  // on the member's stream and the model holds the new value. Stops waiting when giveUp holds.
  bool serves(const std::function<bool()>& giveUp = [] { return false; }) {
    CommandPeer peer(redis->admin(), "S");
    const std::string subscribe = peer.subscribe("secure", {"S.Boiler.Setpoint"}, "100");
    const std::string set = peer.send({{"cmd", "set"}, {"name", "S.Boiler.Setpoint"}, {"value", "42.5"}});
    const auto succeeded = [&](const std::string& id) {
      const auto response = peer.response(id, 0ms);
      return response && response->contains("result") && response->at("result") == "success";
    };
    const auto done = [&] {
      return succeeded(subscribe) && succeeded(set) && !peer.values("S.Boiler.Setpoint").empty() &&
             std::get<double>(*harness.model().readValue("Boiler", "Setpoint")) == 42.5;
    };
    waitUntil([&] { return giveUp() || done(); }, 5s, 20ms);
    return done();
  }

  // Every attribute text, every entry on the command stream and every key name.
  void expectNoPassword() {
    std::string seen = errorTexts() + std::get<std::string>(readAttribute(*service, Attr::kAddress));
    for (const auto& entry : redis->admin().xrange("S.Commands")) {
      for (const auto& [field, value] : entry.fields) seen += field + "=" + value + "\n";
    }
    const ReplyPtr keys = redis->admin().command({"KEYS", "*"});
    for (std::size_t i = 0; i < keys->elements; ++i) seen += std::string(keys->element[i]->str) + "\n";
    for (const char* password : kPasswords) EXPECT_THAT(seen, Not(HasSubstr(password)));
  }

  inline static std::unique_ptr<SecureRedis> redis;
  ServiceHarness harness;
  std::shared_ptr<Service> service;  // destroyed before the harness's allocator
};

// ---- configuration ----

TEST_F(SecureConnectionTest, ConfigurationTakesTheSecurityKeysAndRefusesSettingsThatCannotWork) {
  auto configured = harness.create(json({{"address", "redis:6380"},
                                         {"username", "tul"},
                                         {"password", "p"},
                                         {"tls", "true"},
                                         {"tlsCaFile", "/ca.pem"},
                                         {"tlsCertFile", "/c.pem"},
                                         {"tlsKeyFile", "/c.key"},
                                         {"tlsServerName", "redis.example"},
                                         {"password", SecureRedis::kServicePassword}}));
  // The live tests below show that each key is used; here, what they cannot show.
  EXPECT_EQ(configured->security().password, SecureRedis::kServicePassword) << "a key given twice takes its last value";

  const std::string password = SecureRedis::kServicePassword;
  const std::pair<Settings, std::string> refused[] = {
      {{{"tls", "yes"}, {"password", password}},
       R"(configuration "tls" must be "true" or "false", not "yes")"},
      {{{"tls", "true"}, {"tlsCertFile", "c.pem"}}, R"(configuration "tlsCertFile" needs a "tlsKeyFile")"},
      {{{"username", "tul"}, {"password", ""}}, R"(configuration "username" needs a "password")"},
      {{{"tlsCaFile", "ca.pem"}, {"password", password}}, R"(configuration "tlsCaFile" needs "tls": "true")"},
      {{{"sentinels", "127.0.0.1:26379"}}, R"(configuration "sentinels" needs a "sentinelMaster")"},
      {{{"sentinelMaster", "m"}}, R"(configuration "sentinelMaster" needs "sentinels")"},
      {{{"sentinels", "a,,b"}, {"sentinelMaster", "m"}},
       R"(configuration "sentinels" must list HOST:PORT entries separated by commas, not "a,,b")"},
      {{{"sentinels", "a"}, {"sentinelMaster", "m"}, {"sentinelUsername", "u"}},
       R"(configuration "sentinelUsername" needs a "sentinelPassword")"},
      {{{"sentinelPassword", password}}, R"(configuration "sentinelPassword" needs "sentinels")"},
      {{{"cluster", "yes"}}, R"(configuration "cluster" must be "true" or "false", not "yes")"},
      {{{"cluster", "true"}, {"sentinels", "a"}, {"sentinelMaster", "m"}},
       R"(configuration "cluster" and "sentinels" exclude each other: a cluster fails over by itself)"},
      {{{"cluster", "true"}, {"address", "a:1,"}},
       R"(configuration "address" must list HOST:PORT entries separated by commas, not "a:1,")"},
  };
  const auto load = [&](const std::string& text) {
    configured->loadConfiguration(utils::json::decoder::Document::parse(text).root().asObject(),
                                  config::Context());
  };
  for (const auto& [settings, expected] : refused) {
    EXPECT_EQ(messageOf<std::invalid_argument>([&] { load(json(settings)); }), expected);
  }
  EXPECT_EQ(configured->security().tlsServerName, "redis.example")
      << "a refused configuration changes nothing";
  EXPECT_EQ(messageOf<config::UnknownParameterError>([&] { load(R"({"tls":"true","tlsVersion":"1.3"})"); }),
            R"(unknown configuration parameter "tlsVersion")");
  EXPECT_THROW(harness.create(R"({"tls":true})"), std::invalid_argument) << "values are JSON strings";
}

// ---- what works ----

TEST_F(SecureConnectionTest, ServesOverTlsAsAnAclUserWithTheDefaultUsersPasswordAndWithMutualTls) {
  struct Case {
    const char* what;
    Settings settings;
    bool clientCertificates;
  };
  const Settings mutual = overTls("tul", SecureRedis::kServicePassword,
                                  {{"tlsCertFile", redis->file("client.pem")},
                                   {"tlsKeyFile", redis->file("client.key")},
                                   {"tlsServerName", "localhost"}});
  const Case cases[] = {
      {"ACL user and password over TLS", overTls(), false},
      {"the default user's password, plain TCP",
       {{"address", redis->plainAddress()}, {"serviceName", "S"}, {"password", SecureRedis::kAdminPassword}},
       false},
      {"mutual TLS, by name", mutual, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    redis->requireClientCertificates(c.clientCertificates);
    start(c.settings);
    ASSERT_TRUE(waitUntil([&] { return up(); }, 10s)) << errorTexts();
    EXPECT_TRUE(serves()) << errorTexts();
    expectNoPassword();
    stop();
  }
}

// ---- what is refused ----

TEST_F(SecureConnectionTest, RefusalsShowTheServersOrTheTlsTextAndNeverHoldUpCleanup) {
  struct Case {
    const char* what;
    Settings settings;
    Attr attribute;
    std::string expected;     // the start of the attribute's message
    std::string detail = {};  // a part of the rest of it
    bool clientCertificates = false;
    bool dataConnects = false;  // only a missing permission lets the data connection come up
  };
  const std::string password = SecureRedis::kServicePassword;
  const Settings noPassword = overTls("");
  const Settings plainToTls = {
      {"address", redis->tlsAddress()}, {"username", "tul"}, {"password", SecureRedis::kServicePassword}};
  const std::string wrongPassword = "WRONGPASS invalid username-password pair or user is disabled.";
  const Case cases[] = {
      {"wrong password", overTls("tul", "wrong-Secret-9"), Attr::kDataConnectionError, wrongPassword},
      {"disabled user", overTls("retired", SecureRedis::kRetiredPassword), Attr::kDataConnectionError,
       wrongPassword},
      {"missing permission", overTls("no-hset", SecureRedis::kServicePassword),
       Attr::kServiceRegistrationError, "NOPERM this user has no permissions to run the 'hset' command", "",
       false, true},
      // Without a password a TLS connection still proves itself before it counts as up.
      {"TLS without the password the server needs", noPassword, Attr::kDataConnectionError,
       "NOAUTH Authentication required."},
      {"untrusted server certificate", overTls("tul", password, {{"tlsCaFile", redis->file("other-ca.pem")}}),
       Attr::kDataConnectionError, "TLS handshake failed: certificate verify failed: "},
      {"name mismatch", overTls("tul", password, {{"tlsServerName", "redis.example"}}),
       Attr::kDataConnectionError, "TLS handshake failed: certificate verify failed: hostname mismatch"},
      {"TLS against the plain port", overTls("tul", password, {{"address", redis->plainAddress()}}),
       Attr::kDataConnectionError, "TLS handshake failed: ", "(not a TLS port?)"},
      {"plain TCP against the TLS port", plainToTls, Attr::kDataConnectionError,
       "the server closed the connection before it answered AUTH (does it expect TLS?)"},
      // The server's alert, or only its hang-up when a reset overtook the alert.
      {"required client certificate missing", noPassword, Attr::kDataConnectionError,
       "TLS handshake failed: the server ", "client certificate", true},
      {"required client certificate missing, with AUTH", overTls(), Attr::kDataConnectionError,
       "TLS handshake failed: the server ", "client certificate", true},
      {"missing CA file", overTls("tul", password, {{"tlsCaFile", redis->file("missing.pem")}}),
       Attr::kDataConnectionError,
       "cannot read the CA file \"" + redis->file("missing.pem") + "\": No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    redis->requireClientCertificates(c.clientCertificates);
    start(c.settings);
    bool dataConnected = false;
    EXPECT_TRUE(waitUntil(
        [&] {
          dataConnected = dataConnected || flagAttribute(*service, Attr::kDataConnectionState);
          const std::string text = errorText(c.attribute);
          return text.starts_with(c.expected) && text.find(c.detail, c.expected.size()) != std::string::npos;
        },
        8s))
        << errorText(c.attribute);
    EXPECT_EQ(dataConnected, c.dataConnects);
    EXPECT_FALSE(up());
    expectNoPassword();
    // A new attempt is under way (a TLS handshake with a plain port stalls until its time-out)
    // when cleanup comes: it must not wait for the attempt to end.
    host::runTask(service->reconnectTask());
    std::this_thread::sleep_for(100ms);
    EXPECT_LT(stop(), 500ms);
  }
}

// ---- least privilege ----

// The server's ACL log: (object, reason) of every refusal of user, "object" being the command
// or the key that was refused.
std::vector<std::pair<std::string, std::string>> aclRefusals(RedisClient& admin, const std::string& user) {
  std::vector<std::pair<std::string, std::string>> refusals;
  const ReplyPtr log = admin.command({"ACL", "LOG"});
  for (std::size_t i = 0; i < log->elements; ++i) {
    std::map<std::string, std::string> entry;
    const redisReply& fields = *log->element[i];
    for (std::size_t f = 0; f + 1 < fields.elements; f += 2) {
      if (fields.element[f + 1]->str != nullptr) entry[fields.element[f]->str] = fields.element[f + 1]->str;
    }
    if (entry["username"] == user) refusals.emplace_back(entry["object"], entry["reason"]);
  }
  return refusals;
}

bool matchesPattern(const std::string& pattern, const std::string& key) {
  return pattern.ends_with('*') ? key.starts_with(pattern.substr(0, pattern.size() - 1)) : key == pattern;
}

TEST_F(SecureConnectionTest, TheServiceRuleIsEnoughAndEveryCommandAndKeyPatternInItIsNeeded) {
  struct Rule {
    std::string rule;
    std::string removed;  // empty for the whole rule
    bool isKeyPattern = false;
  };
  const std::string password = SecureRedis::kServicePassword;
  std::vector<Rule> rules = {{aclRule(password, kServiceCommands, kServiceKeyPatterns), ""}};
  for (const std::string& command : kServiceCommands) {
    rules.push_back({aclRule(password, without(kServiceCommands, command), kServiceKeyPatterns), command});
  }
  for (const std::string& pattern : kServiceKeyPatterns) {
    rules.push_back(
        {aclRule(password, kServiceCommands, without(kServiceKeyPatterns, pattern)), pattern, true});
  }
  // Short waits make both connections send their keep-alive PING within the scenario.
  const auto quick = [](Service& s) {
    s.dataHandler()->maxWaitMs = 50;
    s.commandHandler()->maxWaitMs = 50;
  };
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const Rule& r = rules[i];
    SCOPED_TRACE(r.rule);
    const std::string user = "rule-" + std::to_string(i);
    std::vector<std::string> setUser = {"ACL", "SETUSER", user, "reset"};
    for (std::size_t from = 0, to = 0; from <= r.rule.size(); from = to + 1) {
      to = std::min(r.rule.find(' ', from), r.rule.size());
      setUser.push_back(r.rule.substr(from, to - from));
    }
    redis->admin().str(setUser);
    start(overTls(user, password), quick);
    // A command connection that failed reconnects at once: its refusal may show only briefly,
    // but the service went down meanwhile.
    bool sawRefusal = false;
    const auto wentDown = [&] { return service->disconnectedEvent().raiseCount() > 0; };
    const auto refused = [&] {
      return sawRefusal = sawRefusal || errorTexts().find("NOPERM") != std::string::npos;
    };
    waitUntil([&] { return up() || refused(); }, 10s);
    const bool served = up() && serves(refused);
    if (r.removed.empty()) {
      EXPECT_TRUE(served) << errorTexts();
      std::this_thread::sleep_for(300ms);  // several keep-alives on both connections
      EXPECT_FALSE(refused()) << errorTexts();
      EXPECT_TRUE(up()) << errorTexts();
      EXPECT_FALSE(wentDown());
      EXPECT_TRUE(aclRefusals(redis->admin(), user).empty());
    } else {
      // The service needed what was removed (the server refused it) and did not carry on as if
      // nothing had happened.
      // The server logs a refusal before the service has read it: its reaction comes a moment later.
      waitUntil([&] { return refused() || !aclRefusals(redis->admin(), user).empty(); }, 5s);
      EXPECT_TRUE(waitUntil([&] { return !served || refused() || wentDown(); }, 2s))
          << "the service went on as if served: " << errorTexts();
      bool named = false;
      for (const auto& [object, reason] : aclRefusals(redis->admin(), user)) {
        named = named || (r.isKeyPattern ? reason == "key" && matchesPattern(r.removed, object)
                                         : reason == "command" && object == r.removed);
      }
      EXPECT_TRUE(named) << "the server's ACL log names no refusal of " << r.removed;
    }
    stop();
  }
}

// The transport alone, against a TLS server made here with OpenSSL: a clean close tells the
// server so (close_notify), where a cut would leave it guessing.
TEST_F(SecureConnectionTest, ACleanCloseOfATlsConnectionSendsCloseNotify) {
  LoopbackListener listener;
  std::promise<int> lastRead;  // SSL_get_error of the server's read that ended the session
  std::thread server([&] {
    const UniqueFd socket = listener.accept(5s);
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_server_method()),
                                                              &SSL_CTX_free);
    SSL_CTX_use_certificate_chain_file(context.get(), redis->file("server.pem").c_str());
    SSL_CTX_use_PrivateKey_file(context.get(), redis->file("server.key").c_str(), SSL_FILETYPE_PEM);
    std::unique_ptr<SSL, decltype(&SSL_free)> session(SSL_new(context.get()), &SSL_free);
    SSL_set_fd(session.get(), socket.get());
    if (SSL_accept(session.get()) != 1) return lastRead.set_value(-1);
    char byte = 0;
    lastRead.set_value(SSL_get_error(session.get(), SSL_read(session.get(), &byte, 1)));
  });
  ConnectionSecurity security;
  security.tls = true;
  security.tlsCaFile = redis->file("ca.pem");
  StopSource stop;
  std::unique_ptr<Transport> transport =
      connectTransport("127.0.0.1:" + std::to_string(listener.port()), security, 3s, &stop);
  transport->close();
  auto result = lastRead.get_future();
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(result.get(), SSL_ERROR_ZERO_RETURN) << "the server saw the end of the session, not a cut";
  server.join();
}

}  // namespace
