#include "support/LoopbackPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace tul::test {

namespace {

bool pollFor(int fd, short events, std::chrono::milliseconds timeout) {
  pollfd entry{fd, events, 0};
  return ::poll(&entry, 1, static_cast<int>(std::max<long long>(timeout.count(), 0))) == 1;
}

}  // namespace

void UniqueFd::reset(int fd) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool ipv6LoopbackAvailable() {
  try {
    LoopbackListener listener(AF_INET6);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

LoopbackListener::LoopbackListener(int family, int backlog)
    : fd_(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_storage address{};
  socklen_t length = sizeof(sockaddr_in);
  if (family == AF_INET6) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    length = sizeof v6;
  } else {
    auto& v4 = reinterpret_cast<sockaddr_in&>(address);
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  if (!fd_ || ::bind(fd_.get(), raw, length) != 0 || ::listen(fd_.get(), backlog) != 0 ||
      ::getsockname(fd_.get(), raw, &length) != 0) {
    throw std::system_error(errno, std::system_category(), "loopback listener");
  }
  // The port sits at the same offset in both address families.
  port_ = ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port);
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
    if (sent < 0 && errno != EINTR) return false;
    if (sent > 0) bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

std::string receiveUpTo(int fd, std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string bytes(count, '\0');
  std::size_t received = 0;
  while (received < count &&
         pollFor(fd, POLLIN,
                 std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()))) {
    const ssize_t chunk = ::recv(fd, bytes.data() + received, count - received, 0);
    if (chunk <= 0) break;
    received += static_cast<std::size_t>(chunk);
  }
  bytes.resize(received);
  return bytes;
}

}  // namespace tul::test
