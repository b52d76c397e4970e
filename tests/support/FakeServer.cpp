#include "support/FakeServer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <system_error>

#include "support/RedisClient.h"

namespace tul::test {

namespace {

using Clock = std::chrono::steady_clock;

// Waits for events on fd or the server's wake descriptor; true only for fd.
bool pollUntil(int fd, short events, int wake, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd fds[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(std::clamp<long long>(left, 0, INT_MAX)));
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0 && fds[1].revents == 0;
  }
}

}  // namespace

std::string FakeConnection::receive(Clock::time_point deadline) {
  char chunk[64 * 1024];
  while (fd_ && !peerClosed_ && pollUntil(fd_.get(), POLLIN, server_.wake_.get(), deadline)) {
    const ssize_t received = ::recv(fd_.get(), chunk, sizeof chunk, 0);
    if (received > 0) return std::string(chunk, static_cast<std::size_t>(received));
    peerClosed_ = received == 0 || (errno != EINTR && errno != EAGAIN);
  }
  return {};
}

std::vector<std::string> FakeConnection::readCommand(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    void* raw = nullptr;
    if (redisReaderGetReply(reader_.get(), &raw) != REDIS_OK) return {};
    if (const ReplyPtr request{static_cast<redisReply*>(raw)}) {
      std::vector<std::string> command;
      for (std::size_t i = 0; i < request->elements; ++i) {
        command.emplace_back(request->element[i]->str, request->element[i]->len);
      }
      const std::lock_guard lock(server_.mutex_);
      server_.commands_.push_back(command);
      return command;
    }
    const std::string bytes = receive(deadline);
    if (bytes.empty()) return {};
    redisReaderFeed(reader_.get(), bytes.data(), bytes.size());
  }
}

bool FakeConnection::send(std::string_view bytes) {
  while (!bytes.empty() && fd_) {
    const ssize_t sent = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    } else if (errno != EINTR && (errno != EAGAIN || !pollUntil(fd_.get(), POLLOUT, server_.wake_.get(),
                                                                Clock::now() + std::chrono::seconds(10)))) {
      return false;
    }
  }
  return bytes.empty();
}

bool FakeConnection::waitForPeerClose(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!receive(deadline).empty()) {
  }
  return peerClosed_;
}

FakeServer::FakeServer(Script script)
    : script_(std::move(script)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wake_) throw std::system_error(errno, std::system_category(), "eventfd");
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

FakeServer::~FakeServer() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wake_.get(), &one, sizeof one);
  acceptThread_.join();
  for (std::thread& thread : connectionThreads_) thread.join();  // the list no longer grows
}

void FakeServer::acceptLoop() {
  while (pollUntil(listener_.fd(), POLLIN, wake_.get(), Clock::time_point::max())) {
    UniqueFd fd(::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd) continue;
    const std::lock_guard lock(mutex_);
    connectionThreads_.emplace_back([this, fd = std::move(fd)]() mutable {
      FakeConnection connection(std::move(fd), *this);
      try {
        script_(connection);
      } catch (const std::exception& error) {
        const std::lock_guard lock(mutex_);
        scriptErrors_.emplace_back(error.what());
      }
    });
  }
}

std::vector<std::vector<std::string>> FakeServer::commands() const {
  const std::lock_guard lock(mutex_);
  return commands_;
}

std::vector<std::string> FakeServer::scriptErrors() const {
  const std::lock_guard lock(mutex_);
  return scriptErrors_;
}

}  // namespace tul::test
