#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/LoopbackPeer.h"

namespace tul::test {

// A private redis-server on 127.0.0.1 and a free port, without persistence, DEBUG allowed
// from loopback, its log kept in memory. Stopped by its pid, never by name. The server is
// killed when the thread that started it exits: construct it on a long-lived thread.
class RedisServer {
 public:
  // Starts the server and waits until it answers on its plain port; throws
  // std::runtime_error (with its log) when it does not within 5 s. extraArguments follow the
  // usual ones on the command line (TLS ports, ACL files, ...).
  explicit RedisServer(std::vector<std::string> extraArguments = {});
  ~RedisServer() { stop(); }

  int port() const noexcept { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  bool running() const noexcept { return process_.has_value(); }

  // Stops the server (SIGTERM, SIGKILL after 2 s); its port stays reserved for start().
  void stop();
  // Kills it at once (SIGKILL): no shutdown, the kernel closes its connections.
  void kill();
  // Freezes it (SIGSTOP) and lets it go on (SIGCONT): its sockets stay open and silent.
  void pause();
  void resume();
  // Starts it again on the same port; throws like the constructor.
  void start();

 private:
  // False when the process exited before answering (its port was taken, for instance).
  bool launch();
  std::string logTail() const;

  UniqueFd log_;
  std::vector<std::string> extraArguments_;
  int port_ = 0;
  std::optional<ChildProcess> process_;
};

}  // namespace tul::test
