#include "ormanta/utils/network/SocketDevice.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <system_error>
#include <thread>
#include <utility>

namespace ormanta::utils::network {

namespace {

using Clock = std::chrono::steady_clock;
// A point in time on the steady clock; kNoDeadline waits without limit. (Not an optional:
// GCC 12 reports a false maybe-uninitialized for optional time points.)
using Deadline = Clock::time_point;
constexpr Deadline kNoDeadline = Deadline::max();

enum class PollOutcome { kReady, kTimedOut, kStopped };

struct AddrInfoDeleter {
  void operator()(addrinfo* list) const noexcept { ::freeaddrinfo(list); }
};
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoDeleter>;

// Closes a descriptor unless released; keeps the failure paths of connect leak-free.
class FdGuard {
 public:
  explicit FdGuard(int fd) noexcept : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const noexcept { return fd_; }
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

std::string errnoText(int error) { return std::system_category().message(error); }

[[noreturn]] void throwStopped() {
  throw std::system_error(std::make_error_code(std::errc::operation_canceled));
}

int stopFdOf(const io::StopSource* stopSource) noexcept {
  return stopSource == nullptr ? -1 : static_cast<int>(stopSource->nativeWaitHandle());
}

bool stopRequested(const io::StopSource* stopSource) noexcept {
  return stopSource != nullptr && stopSource->stopRequested();
}

Deadline deadlineAfter(std::optional<std::chrono::nanoseconds> timeout) {
  if (!timeout) return kNoDeadline;
  const auto now = Clock::now();
  return *timeout >= kNoDeadline - now ? kNoDeadline : now + *timeout;
}

// Waits until fd reports one of events, the stop source fires or the deadline passes.
// A readable stop eventfd counts as a stop even if reset() cleared the flag meanwhile: that
// only happens when a requestStop() raced with the reset, and then the stop is the newer word.
PollOutcome pollWithStop(int fd, short events, const io::StopSource* stopSource, Deadline deadline) {
  pollfd fds[2] = {{fd, events, 0}, {stopFdOf(stopSource), POLLIN, 0}};
  const nfds_t count = stopSource == nullptr ? 1 : 2;
  for (;;) {
    if (stopRequested(stopSource)) return PollOutcome::kStopped;
    timespec remaining{};
    timespec* timeout = nullptr;
    if (deadline != kNoDeadline) {
      const auto left =
          std::max(std::chrono::nanoseconds::zero(),
                   std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()));
      remaining.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
      remaining.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
      timeout = &remaining;
    }
    const int ready = ::ppoll(fds, count, timeout, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::system_category(), "ppoll");
    }
    if (count == 2 && fds[1].revents != 0) return PollOutcome::kStopped;
    if (fds[0].revents != 0) return PollOutcome::kReady;
    if (ready == 0) return PollOutcome::kTimedOut;
  }
}

// ---- host text ----

struct HostText {
  std::string name;
  std::optional<std::uint16_t> port;
};

std::optional<std::uint16_t> parsePort(std::string_view text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || value == 0 || value > 65535) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

// Returns an error text, empty when text was understood.
std::string parsePortSuffix(std::string_view suffix, HostText& out) {
  if (suffix.empty()) return {};
  if (suffix.front() != ':') return "unexpected text after the address";
  out.port = parsePort(suffix.substr(1));
  return out.port ? std::string{} : "invalid port \"" + std::string(suffix.substr(1)) + "\"";
}

std::string parseHostText(std::string_view text, HostText& out) {
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos) return "missing \"]\" after an IPv6 address";
    out.name = text.substr(1, close - 1);
    if (out.name.empty()) return "empty IPv6 address";
    return parsePortSuffix(text.substr(close + 1), out);
  }
  const auto colon = text.find(':');
  if (colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos) {
    out.name = text;  // a bare IPv6 literal; it cannot carry a port
    return {};
  }
  out.name = text.substr(0, colon);
  if (out.name.empty()) out.name = "localhost";
  if (colon == std::string_view::npos) return {};
  return parsePortSuffix(text.substr(colon), out);
}

std::string choosePort(detail::PortOption option, HostText& host) {
  switch (option.selector) {
    case detail::PortOption::kNone:
      return host.port ? std::string{} : "the host text carries no port";
    case detail::PortOption::kDefault:
      if (!host.port) host.port = option.port;
      break;
    case detail::PortOption::kForced:
      host.port = option.port;
      break;
    default:
      return "unknown port selector " + std::to_string(option.selector);
  }
  return *host.port != 0 ? std::string{} : "no port given";
}

// ---- name resolution ----

// A lookup that may outlive the connect call: getaddrinfo cannot be interrupted, so a name
// lookup runs on a detached thread and the caller stops waiting for it on time-out or stop.
struct PendingLookup {
  std::string name;
  std::string service;
  addrinfo hints{};
  int status = 0;
  AddrInfoPtr result;
  std::atomic<bool> done{false};
  int doneFd = -1;

  ~PendingLookup() {
    if (doneFd >= 0) ::close(doneFd);
  }

  void run() noexcept {
    addrinfo* list = nullptr;
    status = ::getaddrinfo(name.c_str(), service.c_str(), &hints, &list);
    result.reset(list);
    done.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(doneFd, &one, sizeof one);
  }
};

addrinfo makeHints(int addressFamily, int flags) {
  addrinfo hints{};
  hints.ai_family = addressFamily;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = flags;
  return hints;
}

std::string resolveName(const HostText& host, int addressFamily, const io::StopSource* stopSource,
                        Deadline deadline, AddrInfoPtr& out) {
  auto lookup = std::make_shared<PendingLookup>();
  lookup->name = host.name;
  lookup->service = std::to_string(*host.port);
  lookup->hints = makeHints(addressFamily, AI_NUMERICSERV);
  lookup->doneFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (lookup->doneFd < 0) return "eventfd: " + errnoText(errno);
  try {
    std::thread([lookup] { lookup->run(); }).detach();
  } catch (const std::system_error&) {
    lookup->run();  // no thread to spare: resolve here, without time-out
  }
  switch (pollWithStop(lookup->doneFd, POLLIN, stopSource, deadline)) {
    case PollOutcome::kStopped:
      return "connect aborted by a stop request";
    case PollOutcome::kTimedOut:
      return "timed out resolving \"" + host.name + "\"";
    case PollOutcome::kReady:
      break;
  }
  if (!lookup->done.load(std::memory_order_acquire)) return "name lookup failed";
  if (lookup->status != 0) {
    return "cannot resolve \"" + host.name + "\": " + ::gai_strerror(lookup->status);
  }
  out = std::move(lookup->result);
  return {};
}

std::string resolve(const HostText& host, int addressFamily, const io::StopSource* stopSource,
                    Deadline deadline, AddrInfoPtr& out) {
  // Numeric addresses need no lookup thread.
  const addrinfo hints = makeHints(addressFamily, AI_NUMERICHOST | AI_NUMERICSERV);
  addrinfo* list = nullptr;
  const std::string service = std::to_string(*host.port);
  const int status = ::getaddrinfo(host.name.c_str(), service.c_str(), &hints, &list);
  if (status == 0) {
    out.reset(list);
    return {};
  }
  if (status != EAI_NONAME) {
    return "cannot resolve \"" + host.name + "\": " + ::gai_strerror(status);
  }
  return resolveName(host, addressFamily, stopSource, deadline, out);
}

// ---- connecting ----

std::string endpointText(const addrinfo& address) {
  char host[NI_MAXHOST] = {};
  char service[NI_MAXSERV] = {};
  if (::getnameinfo(address.ai_addr, address.ai_addrlen, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "?";
  }
  return address.ai_family == AF_INET6 ? "[" + std::string(host) + "]:" + service
                                       : std::string(host) + ":" + service;
}

int socketError(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

// A peer that vanished without closing (power loss, a pulled cable) would leave a reader
// waiting for ever: probes end such a connection within SocketDevice::kKeepAliveLimit.
void enableKeepAlive(int fd) noexcept {
  const int on = 1;
  const int idleSeconds = SocketDevice::kKeepAliveIdle.count();
  const int intervalSeconds = SocketDevice::kKeepAliveInterval.count();
  const int probes = SocketDevice::kKeepAliveProbes;
  // Unacknowledged data is given up on within the same bound.
  const unsigned userTimeoutMs = static_cast<unsigned>(
      std::chrono::duration_cast<std::chrono::milliseconds>(SocketDevice::kKeepAliveLimit).count());
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
}

struct Attempt {
  int fd = -1;
  PollOutcome outcome = PollOutcome::kReady;
  std::string error;
};

Attempt connectTo(const addrinfo& address, const io::StopSource* stopSource, Deadline deadline) {
  Attempt attempt;
  FdGuard fd(
      ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol));
  if (fd.get() < 0) {
    attempt.error = "socket: " + errnoText(errno);
    return attempt;
  }
  if (::connect(fd.get(), address.ai_addr, address.ai_addrlen) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      attempt.error = "connect to " + endpointText(address) + " failed: " + errnoText(errno);
      return attempt;
    }
    attempt.outcome = pollWithStop(fd.get(), POLLOUT, stopSource, deadline);
    if (attempt.outcome == PollOutcome::kStopped) {
      attempt.error = "connect aborted by a stop request";
      return attempt;
    }
    if (attempt.outcome == PollOutcome::kTimedOut) {
      attempt.error = "connect to " + endpointText(address) + " timed out";
      return attempt;
    }
    if (const int error = socketError(fd.get()); error != 0) {
      attempt.error = "connect to " + endpointText(address) + " failed: " + errnoText(error);
      return attempt;
    }
  }
  // Requests are small and latency matters more than segment count.
  const int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  enableKeepAlive(fd.get());
  attempt.fd = fd.release();
  return attempt;
}

}  // namespace

SocketDevice::SocketDevice() noexcept = default;

SocketDevice::~SocketDevice() { close(); }

SocketDevice::SocketDevice(SocketDevice&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)),
      stopSource_(std::exchange(other.stopSource_, nullptr)),
      readBuffer_(std::move(other.readBuffer_)),
      connectError_(std::move(other.connectError_)) {}

SocketDevice& SocketDevice::operator=(SocketDevice&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
    stopSource_ = std::exchange(other.stopSource_, nullptr);
    readBuffer_ = std::move(other.readBuffer_);
    connectError_ = std::move(other.connectError_);
  }
  return *this;
}

SocketDevice SocketDevice::connectedSocketInternal(std::string_view host, detail::PortOption port,
                                                   int addressFamily, int protocol,
                                                   std::optional<std::chrono::nanoseconds> timeout,
                                                   io::StopSource* stopSource) {
  SocketDevice socket;
  const Deadline deadline = deadlineAfter(timeout);
  if (protocol != IPPROTO_TCP) {
    socket.connectError_ = "unsupported protocol " + std::to_string(protocol);
    return socket;
  }
  if (stopRequested(stopSource)) {
    socket.connectError_ = "connect aborted by a stop request";
    return socket;
  }
  HostText target;
  std::string error = parseHostText(host, target);
  if (error.empty()) error = choosePort(port, target);
  AddrInfoPtr addresses;
  if (error.empty()) error = resolve(target, addressFamily, stopSource, deadline, addresses);
  if (!error.empty()) {
    socket.connectError_ = "\"" + std::string(host) + "\": " + error;
    return socket;
  }
  error = "\"" + std::string(host) + "\": no address found";
  for (const addrinfo* address = addresses.get(); address != nullptr; address = address->ai_next) {
    Attempt attempt = connectTo(*address, stopSource, deadline);
    if (attempt.fd >= 0) {
      socket.handle_ = attempt.fd;
      socket.stopSource_ = stopSource;
      socket.readBuffer_ = std::make_unique<char[]>(kReadBufferSize);
      return socket;
    }
    error = std::move(attempt.error);
    if (attempt.outcome != PollOutcome::kReady) break;  // time-out or stop covers every address
  }
  socket.connectError_ = std::move(error);
  return socket;
}

void SocketDevice::close() noexcept {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

void SocketDevice::requireOpen() const {
  if (handle_ < 0) throw std::system_error(std::make_error_code(std::errc::not_connected), "socket");
}

bool SocketDevice::pollReadable(std::chrono::nanoseconds timeout) {
  requireOpen();
  const Deadline deadline = timeout.count() < 0 ? kNoDeadline : deadlineAfter(timeout);
  switch (pollWithStop(static_cast<int>(handle_), POLLIN, stopSource_, deadline)) {
    case PollOutcome::kStopped:
      throwStopped();
    case PollOutcome::kTimedOut:
      return false;
    case PollOutcome::kReady:
      break;
  }
  return true;
}

void SocketDevice::waitForData() { pollReadable(std::chrono::nanoseconds(-1)); }

bool SocketDevice::waitForData(std::chrono::nanoseconds timeout) {
  return pollReadable(std::max(timeout, std::chrono::nanoseconds::zero()));
}

io::ReadResult SocketDevice::readAvailable() {
  requireOpen();
  if (!readBuffer_) readBuffer_ = std::make_unique<char[]>(kReadBufferSize);
  for (;;) {
    const ssize_t received =
        ::recv(static_cast<int>(handle_), readBuffer_.get(), kReadBufferSize, MSG_DONTWAIT);
    if (received > 0) {
      const auto size = static_cast<std::size_t>(received);
      return {{readBuffer_.get(), size}, size == kReadBufferSize};
    }
    if (received == 0) {
      throw std::system_error(std::make_error_code(std::errc::connection_reset),
                              "connection closed by the peer");
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {};
    throw std::system_error(errno, std::system_category(), "recv");
  }
}

void SocketDevice::write(const void* data, std::size_t size) {
  requireOpen();
  if (stopRequested(stopSource_)) throwStopped();
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t sent = ::send(static_cast<int>(handle_), next, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) {
      next += sent;
      size -= static_cast<std::size_t>(sent);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK)
      throw std::system_error(errno, std::system_category(), "send");
    // The deadline restarts with every byte sent: a slow reader is fine, a stalled one is not.
    switch (pollWithStop(static_cast<int>(handle_), POLLOUT, stopSource_, Clock::now() + kWriteStallLimit)) {
      case PollOutcome::kStopped:
        throwStopped();
      case PollOutcome::kTimedOut:
        throw std::system_error(std::make_error_code(std::errc::timed_out),
                                "write made no progress for 3 s: the peer stopped reading");
      case PollOutcome::kReady:
        break;
    }
  }
}

}  // namespace ormanta::utils::network
