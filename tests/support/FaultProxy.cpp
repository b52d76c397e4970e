#include "support/FaultProxy.h"

#include <arpa/inet.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <deque>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "support/RedisClient.h"

namespace tul::test {

namespace {

using Clock = std::chrono::steady_clock;

// Enough for the largest batch a test sends; past it a side is not read until the other drains.
constexpr std::size_t kBufferCap = 64 * 1024 * 1024;
constexpr std::size_t kChunk = 64 * 1024;

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

void noDelay(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A non-blocking connection to the upstream server, or an empty descriptor.
UniqueFd connectUpstream(int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const sockaddr_in address = loopback(port);
  if (!fd || (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
              errno != EINPROGRESS)) {
    return {};
  }
  pollfd entry{fd.get(), POLLOUT, 0};
  int error = 0;
  socklen_t length = sizeof error;
  if (::poll(&entry, 1, 2000) != 1 || ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
      error != 0) {
    return {};
  }
  noDelay(fd.get());
  return fd;
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool transparentRequest(const std::string& name) {
  return name == "AUTH" || name == "HELLO" || name == "CLIENT" || name == "SELECT";
}

}  // namespace

// One direction of a link: bytes read from its source and not yet written to its sink, cut
// into whole RESP messages by a reader, so that faults land between messages.
struct FaultProxy::Direction {
  std::size_t size() const noexcept { return buffer.size() - head; }
  const char* front() const noexcept { return buffer.data() + head; }
  void consume(std::size_t count) {
    head += count;
    complete -= count;
    if (fireAfter) *fireAfter -= count;
    if (head > kChunk && head * 2 > buffer.size()) {
      buffer.erase(0, head);
      head = 0;
    }
  }
  // Writable now: whole messages only, and nothing past an armed fault.
  std::size_t writable() const noexcept { return fireAfter ? std::min(complete, *fireAfter) : complete; }

  std::string buffer;
  std::size_t head = 0;
  std::size_t complete = 0;              // bytes from front() that end on a message boundary
  std::optional<std::size_t> fireAfter;  // bytes to write before the link's armed fault hits
  std::unique_ptr<redisReader, decltype(&redisReaderFree)> reader{redisReaderCreate(), &redisReaderFree};
  std::uint64_t fed = 0;       // bytes fed to reader
  std::uint64_t boundary = 0;  // reader offset where the last whole message ended
  bool broken = false;         // not RESP: forwarded as it comes
  bool eof = false;            // the source has closed
};

struct FaultProxy::Link {
  bool forwarding(Clock::time_point now) const noexcept { return !halfOpen && now >= stallUntil; }
  bool canRead(const Direction& direction) const noexcept {
    return !dead && !halfOpen && !direction.eof && !direction.fireAfter && direction.size() < kBufferCap;
  }

  UniqueFd client, server;
  LinkKind kind = LinkKind::kUnknown;
  Direction up;    // requests
  Direction down;  // replies
  std::deque<std::string> unanswered;
  Clock::time_point stallUntil{};
  bool halfOpen = false;
  bool dead = false;
  std::optional<Fault> armed;  // fires when up.fireAfter reaches 0
};

FaultProxy::FaultProxy(int upstreamPort)
    : upstreamPort_(upstreamPort), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wake_) throw std::system_error(errno, std::system_category(), "eventfd");
  openListener();
  thread_ = std::thread([this] { run(); });
}

FaultProxy::~FaultProxy() {
  execute([this] { stopping_ = true; });
  thread_.join();
}

void FaultProxy::openListener() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const int one = 1;
  sockaddr_in address = loopback(port_);
  socklen_t length = sizeof address;
  // A fixed receive buffer (inherited by accepted links) stops the kernel from growing it to
  // many megabytes: a client writing into a half-open link blocks after a bounded amount.
  const int receiveBuffer = 256 * 1024;
  if (!fd || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) != 0 ||
      ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd.get(), 64) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::system_error(errno, std::system_category(),
                            "fault proxy listener on port " + std::to_string(port_));
  }
  port_ = ntohs(address.sin_port);  // written before the thread starts
  listener_ = std::move(fd);
}

void FaultProxy::execute(const std::function<void()>& task) {
  std::unique_lock lock(mutex_);
  tasks_.push_back(task);
  const std::uint64_t ticket = ++tasksQueued_;
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wake_.get(), &one, sizeof one);
  done_.wait(lock, [&] { return tasksDone_ >= ticket || gone_; });
}

int FaultProxy::inject(LinkKinds targets, const Fault& fault) {
  int hit = 0;
  execute([&] { hit = applyToAll(targets, fault); });
  return hit;
}

void FaultProxy::stallNewLinks(std::chrono::milliseconds duration) {
  execute([&] { newLinkStall_ = duration; });
}

void FaultProxy::resume() {
  execute([&] {
    newLinkStall_ = {};
    for (auto& link : links_) {
      link->halfOpen = false;
      link->stallUntil = {};
    }
  });
}

void FaultProxy::arm(LinkKind on, std::string request, int nth, Fault fault) {
  execute([&] {
    std::optional<std::string> key;
    if (const auto space = request.find(' '); space != std::string::npos) {
      key = request.substr(space + 1);
      request.resize(space);
    }
    trigger_ = Trigger{on, upper(std::move(request)), std::move(key), nth, std::move(fault)};
    fired_ = false;
  });
}

bool FaultProxy::waitFired(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return done_.wait_for(lock, timeout, [&] { return fired_; });
}

int FaultProxy::accepted(LinkKind kind) const {
  const std::lock_guard lock(mutex_);
  const auto found = accepted_.find(kind);
  return found == accepted_.end() ? 0 : found->second;
}

int FaultProxy::open(LinkKind kind) const {
  const std::lock_guard lock(mutex_);
  return static_cast<int>(std::count_if(links_.begin(), links_.end(),
                                        [&](const auto& link) { return !link->dead && link->kind == kind; }));
}

bool FaultProxy::awaiting(LinkKind kind, std::string_view request) const {
  const std::string name = upper(std::string(request));
  const std::lock_guard lock(mutex_);
  return std::any_of(links_.begin(), links_.end(), [&](const auto& link) {
    return !link->dead && link->kind == kind && link->unanswered.size() == 1 &&
           link->unanswered.front() == name;
  });
}

void FaultProxy::applyFault(Link& link, const Fault& fault) {
  switch (fault.type) {
    case Fault::Type::kCut:
      link.dead = true;
      link.client.reset();
      link.server.reset();
      break;
    case Fault::Type::kStall:
      link.stallUntil = Clock::now() + fault.duration;
      break;
    case Fault::Type::kGarbage:
      link.down.buffer.insert(link.down.head + link.down.complete, fault.bytes);
      link.down.complete += fault.bytes.size();
      break;
    case Fault::Type::kHalfOpen:
      link.halfOpen = true;
      break;
  }
}

int FaultProxy::applyToAll(LinkKinds targets, const Fault& fault) {
  int hit = 0;
  for (auto& link : links_) {
    if (link->dead || (targets & kinds(link->kind)) == 0) continue;
    applyFault(*link, fault);
    ++hit;
  }
  return hit;
}

void FaultProxy::acceptLink() {
  UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (!client) return;
  UniqueFd server = connectUpstream(upstreamPort_);
  if (!server) return;  // the client sees its connection closed
  noDelay(client.get());
  auto link = std::make_unique<Link>();
  if (newLinkStall_.count() > 0) link->stallUntil = Clock::now() + newLinkStall_;
  link->client = std::move(client);
  link->server = std::move(server);
  links_.push_back(std::move(link));
}

void FaultProxy::onRequest(Link& link, std::string name, std::string_view key) {
  if (link.kind == LinkKind::kUnknown && !transparentRequest(name)) {
    link.kind = name == "HDEL"                                      ? LinkKind::kRegistration
                : name == "PING" || name == "SET" || name == "XADD" ? LinkKind::kData
                                                                    : LinkKind::kCommand;
    ++accepted_[link.kind];
  }
  link.unanswered.push_back(name);
  if (trigger_ && trigger_->on == link.kind && trigger_->request == name &&
      (!trigger_->key || *trigger_->key == key) && --trigger_->remaining <= 0) {
    link.up.fireAfter = link.up.complete;
    link.armed = std::move(trigger_->fault);
    trigger_.reset();
  }
}

void FaultProxy::readFrom(Link& link, bool fromClient) {
  Direction& direction = fromClient ? link.up : link.down;
  char chunk[kChunk];
  const ssize_t received =
      ::recv((fromClient ? link.client : link.server).get(), chunk, sizeof chunk, MSG_DONTWAIT);
  if (received < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (received <= 0) {
    direction.eof = true;
    direction.complete = direction.size();  // a partial message goes out as it is
    return;
  }
  direction.buffer.append(chunk, static_cast<std::size_t>(received));
  if (direction.broken) {
    direction.complete = direction.size();
    return;
  }
  redisReader* reader = direction.reader.get();
  redisReaderFeed(reader, chunk, static_cast<std::size_t>(received));
  direction.fed += static_cast<std::uint64_t>(received);
  for (;;) {
    void* raw = nullptr;
    if (redisReaderGetReply(reader, &raw) != REDIS_OK) {
      direction.broken = true;
      direction.complete = direction.size();
      return;
    }
    const ReplyPtr message(static_cast<redisReply*>(raw));
    if (!message) return;
    const std::uint64_t end = direction.fed - (reader->len - reader->pos);
    direction.complete += static_cast<std::size_t>(end - direction.boundary);
    direction.boundary = end;
    if (!fromClient) {
      if (!link.unanswered.empty()) link.unanswered.pop_front();
    } else if (message->type == REDIS_REPLY_ARRAY && message->elements > 0 &&
               message->element[0]->type == REDIS_REPLY_STRING) {
      const redisReply* key = message->elements > 1 ? message->element[1] : nullptr;
      onRequest(
          link, upper(std::string(message->element[0]->str, message->element[0]->len)),
          key && key->type == REDIS_REPLY_STRING ? std::string_view(key->str, key->len) : std::string_view());
    }
  }
}

void FaultProxy::writeTo(Link& link, bool toServer) {
  Direction& direction = toServer ? link.up : link.down;
  while (!link.dead && link.forwarding(Clock::now())) {
    if (const std::size_t count = direction.writable(); count > 0) {
      const ssize_t sent = ::send((toServer ? link.server : link.client).get(), direction.front(), count,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0 && errno == EINTR) continue;
      if (sent < 0 && errno == EAGAIN) return;
      if (sent <= 0) {
        link.dead = true;
        return;
      }
      direction.consume(static_cast<std::size_t>(sent));
    }
    if (!direction.fireAfter || *direction.fireAfter > 0) return;
    direction.fireAfter.reset();
    applyFault(link, *std::exchange(link.armed, std::nullopt));
    fired_ = true;
  }
}

void FaultProxy::run() {
  std::unique_lock lock(mutex_);
  std::vector<pollfd> fds;
  while (!stopping_) {
    const Clock::time_point now = Clock::now();
    Clock::time_point nextStallEnd = Clock::time_point::max();
    fds.assign({{wake_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}});
    for (const auto& link : links_) {
      const bool forwarding = link->forwarding(now);
      if (!link->halfOpen && link->stallUntil > now) nextStallEnd = std::min(nextStallEnd, link->stallUntil);
      const auto events = [&](const Direction& in, const Direction& out, const UniqueFd& fd) {
        const short wanted =
            static_cast<short>((link->canRead(in) ? POLLIN : 0) |
                               (!link->dead && forwarding && out.writable() > 0 ? POLLOUT : 0));
        return pollfd{wanted != 0 ? fd.get() : -1, wanted, 0};
      };
      fds.push_back(events(link->up, link->down, link->client));
      fds.push_back(events(link->down, link->up, link->server));
    }
    const auto wait =
        nextStallEnd == Clock::time_point::max()
            ? -1
            : std::clamp<long long>(std::chrono::ceil<std::chrono::milliseconds>(nextStallEnd - now).count(),
                                    0, INT_MAX);
    lock.unlock();
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(wait));
    lock.lock();
    if (ready < 0 && errno != EINTR) break;  // cannot happen with valid descriptors; ends the proxy

    if (fds[0].revents != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const auto drained = ::read(wake_.get(), &count, sizeof count);
      std::vector<std::function<void()>> tasks;
      tasks.swap(tasks_);
      for (auto& task : tasks) task();
      tasksDone_ += tasks.size();
      if (stopping_) break;
    }
    // Links added below are not in fds; tasks may have killed some that are.
    const std::size_t polled = (fds.size() - 2) / 2;
    for (std::size_t i = 0; i < polled && i < links_.size(); ++i) {
      Link& link = *links_[i];
      const auto readable = [](const pollfd& fd) {
        return fd.fd >= 0 && (fd.revents & (POLLIN | POLLHUP | POLLERR));
      };
      if (readable(fds[2 + 2 * i]) && link.canRead(link.up)) readFrom(link, true);
      if (readable(fds[3 + 2 * i]) && link.canRead(link.down)) readFrom(link, false);
    }
    if (fds[1].revents != 0) acceptLink();
    for (auto& link : links_) {
      writeTo(*link, true);
      writeTo(*link, false);
      // A side that closed ends the link once what it sent has been delivered.
      if ((link->up.eof && link->up.size() == 0) || (link->down.eof && link->down.size() == 0))
        link->dead = true;
    }
    std::erase_if(links_, [](const auto& link) { return link->dead; });
    done_.notify_all();
  }
  gone_ = true;
  links_.clear();
  done_.notify_all();
}

}  // namespace tul::test
