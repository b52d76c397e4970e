#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tul::test {

class FakeServer;

// One accepted client of a FakeServer, handed to the script on the connection's own thread.
// Every wait ends early when the server is being destroyed.
class FakeConnection {
 public:
  FakeConnection(const FakeConnection&) = delete;
  FakeConnection& operator=(const FakeConnection&) = delete;
  ~FakeConnection();

  // The next RESP request (an array of bulk strings, or an inline command), recorded in the
  // server's commands(); empty on time-out, close or bytes that are no request.
  std::vector<std::string> readCommand(std::chrono::milliseconds timeout);
  // Bytes already buffered, or the next bytes to arrive within timeout; empty otherwise.
  std::string readRaw(std::chrono::milliseconds timeout);
  // Sends all bytes; false if the client has gone.
  bool send(std::string_view bytes);
  // Closes the connection now (the client sees the close); idempotent.
  void close();
  // True when the client closes its side within timeout (unread bytes are discarded).
  bool waitForPeerClose(std::chrono::milliseconds timeout);
  // Sleeps for duration, or less when the server is being destroyed: a bounded stall.
  void idle(std::chrono::milliseconds duration);

 private:
  friend class FakeServer;
  FakeConnection(int fd, FakeServer& server) : fd_(fd), server_(server) {}

  // Receives into buffer_ until deadline; false on time-out, close or server shutdown.
  bool receive(std::chrono::steady_clock::time_point deadline);
  // Parses one request from the front of buffer_: 1 done, 0 incomplete, -1 malformed.
  int parseRequest(std::vector<std::string>& out);

  int fd_;
  FakeServer& server_;
  std::string buffer_;
  bool peerClosed_ = false;
};

// A scripted TCP server on 127.0.0.1 (free port chosen by the kernel) for faults a real
// Redis server does not produce: split or merged replies, stalls, garbage, closes. Runs
// script once per accepted connection, each on its own thread. The destructor wakes every
// wait of the scripts, closes everything and joins all threads.
class FakeServer {
 public:
  using Script = std::function<void(FakeConnection&)>;

  explicit FakeServer(Script script);
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  int port() const noexcept { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  // Thread-safe copies.
  std::vector<std::vector<std::string>> commands() const;
  std::size_t connectionCount() const;
  // Exceptions that escaped a script, as text; a test asserts this is empty.
  std::vector<std::string> scriptErrors() const;

 private:
  friend class FakeConnection;

  void acceptLoop();
  void serve(int fd);
  void record(std::vector<std::string> command);
  int wakeFd() const noexcept { return wakeFd_; }

  Script script_;
  int listenFd_ = -1;
  int wakeFd_ = -1;  // readable once the server is being destroyed
  int port_ = 0;
  std::thread acceptThread_;

  mutable std::mutex mutex_;
  std::vector<std::thread> connectionThreads_;      // guarded by mutex_
  std::vector<std::vector<std::string>> commands_;  // guarded by mutex_
  std::vector<std::string> scriptErrors_;           // guarded by mutex_
  std::size_t connections_ = 0;                     // guarded by mutex_
};

}  // namespace tul::test
