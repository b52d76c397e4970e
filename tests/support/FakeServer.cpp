#include "support/FakeServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <optional>
#include <system_error>
#include <utility>

namespace tul::test {

namespace {

using Clock = std::chrono::steady_clock;

int millisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Waits for events on fd or the server's wake fd; true only for fd.
bool pollUntil(int fd, short events, int wakeFd, Clock::time_point deadline) {
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, millisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || fds[1].revents != 0) return false;
    return true;
  }
}

// The text between pos and the next CRLF; advances pos past it. Empty optional if incomplete.
std::optional<std::string_view> takeLine(std::string_view bytes, std::size_t& pos) {
  const auto end = bytes.find("\r\n", pos);
  if (end == std::string_view::npos) return std::nullopt;
  const std::string_view line = bytes.substr(pos, end - pos);
  pos = end + 2;
  return line;
}

std::optional<long> numberOf(std::string_view text) {
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

// ---- FakeConnection ----

FakeConnection::~FakeConnection() { close(); }

bool FakeConnection::receive(Clock::time_point deadline) {
  if (fd_ < 0 || peerClosed_) return false;
  for (;;) {
    if (!pollUntil(fd_, POLLIN, server_.wakeFd(), deadline)) return false;
    char chunk[64 * 1024];
    const ssize_t received = ::recv(fd_, chunk, sizeof chunk, 0);
    if (received > 0) {
      buffer_.append(chunk, static_cast<std::size_t>(received));
      return true;
    }
    if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    peerClosed_ = true;
    return false;
  }
}

int FakeConnection::parseRequest(std::vector<std::string>& out) {
  const std::string_view bytes = buffer_;
  std::size_t pos = 0;
  const auto header = takeLine(bytes, pos);
  if (!header) return 0;
  std::vector<std::string> args;
  if (header->empty() || header->front() != '*') {
    // Inline command, as typed into telnet.
    std::string_view rest = *header;
    while (!rest.empty()) {
      const auto space = rest.find(' ');
      if (space != 0) args.emplace_back(rest.substr(0, space));
      rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
    }
  } else {
    const auto count = numberOf(header->substr(1));
    if (!count || *count < 0) return -1;
    for (long i = 0; i < *count; ++i) {
      const auto lengthLine = takeLine(bytes, pos);
      if (!lengthLine) return 0;
      const auto length =
          lengthLine->empty() || lengthLine->front() != '$' ? std::nullopt : numberOf(lengthLine->substr(1));
      if (!length || *length < 0) return -1;
      const auto size = static_cast<std::size_t>(*length);
      if (bytes.size() < pos + size + 2) return 0;
      args.emplace_back(bytes.substr(pos, size));
      pos += size + 2;
    }
  }
  buffer_.erase(0, pos);
  out = std::move(args);
  return 1;
}

std::vector<std::string> FakeConnection::readCommand(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    std::vector<std::string> command;
    const int parsed = parseRequest(command);
    if (parsed > 0) {
      server_.record(command);
      return command;
    }
    if (parsed < 0 || !receive(deadline)) return {};
  }
}

std::string FakeConnection::readRaw(std::chrono::milliseconds timeout) {
  if (buffer_.empty()) receive(Clock::now() + timeout);
  return std::exchange(buffer_, {});
}

bool FakeConnection::send(std::string_view bytes) {
  while (!bytes.empty() && fd_ >= 0) {
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!pollUntil(fd_, POLLOUT, server_.wakeFd(), Clock::now() + std::chrono::seconds(10))) return false;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return bytes.empty();
}

void FakeConnection::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool FakeConnection::waitForPeerClose(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (receive(deadline)) buffer_.clear();
  return peerClosed_;
}

void FakeConnection::idle(std::chrono::milliseconds duration) {
  pollfd wake{server_.wakeFd(), POLLIN, 0};
  const auto deadline = Clock::now() + duration;
  while (Clock::now() < deadline) {
    if (::poll(&wake, 1, millisecondsUntil(deadline)) > 0) return;
  }
}

// ---- FakeServer ----

FakeServer::FakeServer(Script script) : script_(std::move(script)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (listenFd_ < 0 || wakeFd_ < 0) throw std::system_error(errno, std::system_category(), "fake server");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 16) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int error = errno;
    ::close(listenFd_);
    ::close(wakeFd_);
    throw std::system_error(error, std::system_category(), "fake server listen");
  }
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

FakeServer::~FakeServer() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
  acceptThread_.join();
  // The accept thread is gone, so the list no longer grows.
  for (std::thread& thread : connectionThreads_) thread.join();
  ::close(listenFd_);
  ::close(wakeFd_);
}

void FakeServer::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;
    const std::lock_guard lock(mutex_);
    ++connections_;
    connectionThreads_.emplace_back([this, fd] { serve(fd); });
  }
}

void FakeServer::serve(int fd) {
  FakeConnection connection(fd, *this);
  try {
    script_(connection);
  } catch (const std::exception& error) {
    const std::lock_guard lock(mutex_);
    scriptErrors_.emplace_back(error.what());
  } catch (...) {
    const std::lock_guard lock(mutex_);
    scriptErrors_.emplace_back("unknown exception");
  }
}

void FakeServer::record(std::vector<std::string> command) {
  const std::lock_guard lock(mutex_);
  commands_.push_back(std::move(command));
}

std::vector<std::vector<std::string>> FakeServer::commands() const {
  const std::lock_guard lock(mutex_);
  return commands_;
}

std::size_t FakeServer::connectionCount() const {
  const std::lock_guard lock(mutex_);
  return connections_;
}

std::vector<std::string> FakeServer::scriptErrors() const {
  const std::lock_guard lock(mutex_);
  return scriptErrors_;
}

}  // namespace tul::test
