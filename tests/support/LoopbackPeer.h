#pragma once

// The far end of the sockets under test: a listener on a loopback address and raw accepted
// descriptors, so that tests control every byte and every close. Blocking; one thread each.

#include <sys/socket.h>

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tul::test {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

// True when this machine can listen on ::1.
bool ipv6LoopbackAvailable();

class LoopbackListener {
 public:
  // Listens on 127.0.0.1 (AF_INET) or ::1 (AF_INET6), port chosen by the kernel.
  explicit LoopbackListener(int family = AF_INET, int backlog = 16);

  int port() const noexcept { return port_; }
  int fd() const noexcept { return fd_.get(); }
  // The accepted connection, or an empty descriptor after timeout.
  UniqueFd accept(std::chrono::milliseconds timeout);
  // Connects never-accepted sockets until handshakes stop completing; from then on a connect
  // here hangs until its time-out. Needs backlog 0.
  void fillBacklog();

 private:
  UniqueFd fd_;
  int port_ = 0;
  std::vector<UniqueFd> fillers_;
};

// Sends every byte (blocking); false on failure.
bool sendAll(int fd, std::string_view bytes);
// Reads until count bytes arrived, the peer closed, or timeout passed.
std::string receiveUpTo(int fd, std::size_t count, std::chrono::milliseconds timeout);

}  // namespace tul::test
