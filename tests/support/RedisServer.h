#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace tul::test {

// A private redis-server for one test or fixture: bound to 127.0.0.1 on a free port, no
// persistence, in its own temporary directory, DEBUG allowed from loopback (for DEBUG
// SLEEP stalls). Stopped by its pid, never by name.
//
// Construct and destroy it on a long-lived thread (a test body or fixture): the server is
// killed when the thread that started it exits, so that a crashed test leaves no server
// behind.
class RedisServer {
 public:
  // Starts the server and waits until it answers PING; throws std::runtime_error (with the
  // server's log) if it does not within 5 seconds.
  RedisServer();
  // Stops the server (SIGTERM, SIGKILL after 2 s), reaps it and removes its directory.
  ~RedisServer();
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;

  int port() const noexcept { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  pid_t pid() const noexcept { return pid_; }
  bool running() const noexcept { return pid_ > 0; }
  const std::filesystem::path& directory() const noexcept { return directory_; }

  // Stops the server; its port stays reserved for start(). Idempotent.
  void stop();
  // Starts it again on the same port (after stop()); throws like the constructor.
  void start();

  // The redis-server binary (PATH, then /usr/bin), empty if there is none.
  static std::string binary();
  static bool available() { return !binary().empty(); }

 private:
  // False when the process exited before answering (its port was taken, for instance).
  bool launch();
  std::string logTail() const;

  std::filesystem::path directory_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace tul::test
