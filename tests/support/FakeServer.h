#pragma once

#include <hiredis/hiredis.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/LoopbackPeer.h"

namespace tul::test {

class FakeServer;

// One accepted client of a FakeServer, handed to the script on its own thread. Every wait
// ends early once the server is being destroyed.
class FakeConnection {
 public:
  // The next request's arguments, also recorded in the server's commands(); empty on
  // time-out, close or bytes that are not RESP.
  std::vector<std::string> readCommand(std::chrono::milliseconds timeout);
  // Sends all bytes; false if the client has gone.
  bool send(std::string_view bytes);
  // Closes the connection now (the client sees the close); idempotent.
  void close() noexcept { fd_.reset(); }
  // True when the client closes its side within timeout (unread bytes are discarded).
  bool waitForPeerClose(std::chrono::milliseconds timeout);

 private:
  friend class FakeServer;
  FakeConnection(UniqueFd fd, FakeServer& server) : fd_(std::move(fd)), server_(server) {}
  // The next bytes to arrive before deadline; empty on time-out, close or server shutdown.
  std::string receive(std::chrono::steady_clock::time_point deadline);

  UniqueFd fd_;
  FakeServer& server_;
  std::unique_ptr<redisReader, decltype(&redisReaderFree)> reader_{redisReaderCreate(), &redisReaderFree};
  bool peerClosed_ = false;
};

// A scripted TCP server on 127.0.0.1 for faults a real Redis server does not produce: split
// or merged replies, stalls, garbage, closes. Runs script once per accepted connection, each
// on its own thread; the destructor wakes every wait of the scripts and joins them.
class FakeServer {
 public:
  using Script = std::function<void(FakeConnection&)>;

  explicit FakeServer(Script script);
  ~FakeServer();

  int port() const noexcept { return listener_.port(); }
  std::string address() const { return "127.0.0.1:" + std::to_string(port()); }

  // Thread-safe copies: the requests read, and what escaped a script, as text.
  std::vector<std::vector<std::string>> commands() const;
  std::vector<std::string> scriptErrors() const;

 private:
  friend class FakeConnection;
  void acceptLoop();

  Script script_;
  LoopbackListener listener_;
  UniqueFd wake_;  // readable once the server is being destroyed
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  std::vector<std::thread> connectionThreads_;      // guarded by mutex_
  std::vector<std::vector<std::string>> commands_;  // guarded by mutex_
  std::vector<std::string> scriptErrors_;           // guarded by mutex_
};

}  // namespace tul::test
