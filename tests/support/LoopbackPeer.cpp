#include "support/LoopbackPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace tul::test {

namespace {

using Clock = std::chrono::steady_clock;

int msUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

bool pollFor(int fd, short events, std::chrono::milliseconds timeout) {
  pollfd entry{fd, events, 0};
  return ::poll(&entry, 1, static_cast<int>(timeout.count())) == 1;
}

sockaddr_storage loopbackAddress(int family, int port, socklen_t& length) {
  sockaddr_storage storage{};
  if (family == AF_INET6) {
    auto& address = reinterpret_cast<sockaddr_in6&>(storage);
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof address;
  } else {
    auto& address = reinterpret_cast<sockaddr_in&>(storage);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof address;
  }
  return storage;
}

}  // namespace

void UniqueFd::reset() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool ipv6LoopbackAvailable() {
  UniqueFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  socklen_t length = 0;
  const sockaddr_storage address = loopbackAddress(AF_INET6, 0, length);
  return ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0;
}

LoopbackListener::LoopbackListener(int family, int backlog)
    : fd_(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  if (!fd_) throw std::system_error(errno, std::system_category(), "socket");
  socklen_t length = 0;
  sockaddr_storage address = loopbackAddress(family, 0, length);
  if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(fd_.get(), backlog) != 0 ||
      ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::system_error(errno, std::system_category(), "listen");
  }
  port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                   : reinterpret_cast<sockaddr_in&>(address).sin_port);
}

UniqueFd LoopbackListener::accept(std::chrono::milliseconds timeout) {
  if (!pollFor(fd_.get(), POLLIN, timeout)) return UniqueFd();
  return UniqueFd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

void LoopbackListener::fillBacklog() {
  sockaddr_storage self{};
  socklen_t length = sizeof self;
  ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&self), &length);
  for (int i = 0; i < 64; ++i) {
    UniqueFd filler(::socket(self.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int result = ::connect(filler.get(), reinterpret_cast<sockaddr*>(&self), length);
    const bool completed = result == 0 || (errno == EINPROGRESS &&
                                           pollFor(filler.get(), POLLOUT, std::chrono::milliseconds(200)));
    fillers_.push_back(std::move(filler));
    if (!completed) return;  // this handshake hangs, and so will the next ones
  }
  throw std::runtime_error("the listener's backlog never filled");
}

bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

std::string receiveUpTo(int fd, std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string bytes;
  std::vector<char> chunk(256 * 1024);
  while (bytes.size() < count) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, msUntil(deadline)) != 1) break;
    const ssize_t received = ::recv(fd, chunk.data(), std::min(chunk.size(), count - bytes.size()), 0);
    if (received <= 0) break;
    bytes.append(chunk.data(), static_cast<std::size_t>(received));
  }
  return bytes;
}

}  // namespace tul::test
