#pragma once

// A private redis-server with a plain port and a TLS port, certificates made for it by
// apps/make-test-certificates.sh in a temporary directory, and ACL users from an ACL file:
//   tul      the service's rule for the service name "S", and nothing more
//   no-hset  the same rule without HSET
//   retired  disabled ("off")
//   peer     what tul-peer needs
//   default  every right, with kAdminPassword once the server is up
// Clients present certificates optionally ("tls-auth-clients optional"); requireClientCertificates
// switches that for new connections.

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/Ports.h"
#include "support/RedisClient.h"
#include "support/RedisServer.h"
#include "support/TempDirectory.h"

namespace tul::test {

// What a service named S sends and touches: its ACL rule is built from these alone.
inline const std::vector<std::string> kServiceCommands = {
    "ping", "del", "hdel", "hset", "xadd", "xread", "xrevrange", "multi", "exec", "set", "time"};
inline const std::vector<std::string> kServiceKeyPatterns = {"Services", "S.*", "SValue:*"};

// "on >password resetkeys ~... resetchannels -@all +...": a user's rights, given exactly.
inline std::string aclRule(const std::string& password, const std::vector<std::string>& commands,
                           const std::vector<std::string>& keyPatterns) {
  std::string rule = "on >" + password + " resetkeys";
  for (const std::string& pattern : keyPatterns) rule += " ~" + pattern;
  rule += " resetchannels -@all";
  for (const std::string& command : commands) rule += " +" + command;
  return rule;
}

inline std::vector<std::string> without(std::vector<std::string> items, const std::string& item) {
  std::erase(items, item);
  return items;
}

class SecureRedis {
 public:
  static constexpr const char* kAdminPassword = "admin-Secret-0";
  static constexpr const char* kServicePassword = "tul-Secret-1";
  static constexpr const char* kRetiredPassword = "retired-Secret-2";
  static constexpr const char* kPeerPassword = "peer-Secret-3";

  SecureRedis() {
    const std::string script = TUL_MAKE_CERTIFICATES " " + file("") + " >" + file("openssl.log") + " 2>&1";
    if (std::system(script.c_str()) != 0)
      throw std::runtime_error("certificates not made: see " + file("openssl.log"));
    std::ofstream(file("users.acl"))
        << "user default on nopass ~* &* +@all\n"
        << "user tul " << aclRule(kServicePassword, kServiceCommands, kServiceKeyPatterns) << "\n"
        << "user no-hset "
        << aclRule(kServicePassword, without(kServiceCommands, "hset"), kServiceKeyPatterns) << "\n"
        << "user retired off >" << kRetiredPassword << " ~* &* +@all\n"
        << "user peer "
        << aclRule(kPeerPassword, {"get", "hgetall", "hget", "xadd", "xread", "xrevrange"},
                   kServiceKeyPatterns)
        << "\n";
    // The TLS port is chosen here; if another process takes it first, the server cannot start.
    for (int attempt = 0; !server_; ++attempt) {
      tlsPort_ = freeLoopbackPort();
      try {
        server_ = std::make_unique<RedisServer>(std::vector<std::string>{
            "--tls-port", std::to_string(tlsPort_), "--tls-cert-file", file("server.pem"), "--tls-key-file",
            file("server.key"), "--tls-ca-cert-file", file("ca.pem"), "--tls-auth-clients", "optional",
            "--aclfile", file("users.acl")});
      } catch (const std::runtime_error&) {
        if (attempt == 2) throw;
      }
    }
    admin_ = std::make_unique<RedisClient>(*server_);
    admin_->str({"ACL", "SETUSER", "default", "resetpass", std::string(">") + kAdminPassword});
    admin_->str({"AUTH", kAdminPassword});
  }

  std::string plainAddress() const { return server_->address(); }
  std::string tlsAddress() const { return "127.0.0.1:" + std::to_string(tlsPort_); }
  // A path in the directory of certificates (ca.pem, other-ca.pem, server.pem, client.pem, ...).
  std::string file(const std::string& name) const { return dir_.file(name); }
  // Authenticated as the default user, on the plain port.
  RedisClient& admin() { return *admin_; }
  RedisServer& server() { return *server_; }

  void requireClientCertificates(bool required) {
    admin_->str({"CONFIG", "SET", "tls-auth-clients", required ? "yes" : "optional"});
  }

 private:
  TempDirectory dir_{"tul-secure"};  // first: removed after the server has stopped
  int tlsPort_ = 0;
  std::unique_ptr<RedisServer> server_;
  std::unique_ptr<RedisClient> admin_;
};

}  // namespace tul::test
