#pragma once

// A fault-injecting TCP proxy on 127.0.0.1 in front of a real redis-server. It forwards whole
// RESP messages and tells the service's three connections apart by their first request, so
// that each fault can hit the data, the command or the registration connection, or all.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/LoopbackPeer.h"

namespace tul::test {

// What a link carries, told by its first request other than AUTH, HELLO, CLIENT or SELECT:
// HDEL starts a registration run, PING, SET (the status key) and XADD come from the data
// worker, anything else (XREVRANGE, XREAD, ...) from the command worker. kUnknown until that request is
// complete.
enum class LinkKind : unsigned { kUnknown = 1, kData = 2, kCommand = 4, kRegistration = 8 };
using LinkKinds = unsigned;  // a set of LinkKind bits
constexpr LinkKinds operator|(LinkKind a, LinkKind b) noexcept {
  return static_cast<unsigned>(a) | static_cast<unsigned>(b);
}
constexpr LinkKinds kinds(LinkKind kind) noexcept { return static_cast<unsigned>(kind); }

struct Fault {
  enum class Type { kCut, kStall, kGarbage, kHalfOpen };

  // Closes both sides at once; bytes not yet forwarded are dropped.
  static Fault cut() { return {Type::kCut, {}, {}}; }
  // Forwards nothing for duration while still taking in what both sides send (as a congested
  // network queues it); then delivers it in order.
  static Fault stall(std::chrono::milliseconds duration) { return {Type::kStall, duration, {}}; }
  // Puts bytes into the reply stream at the next reply boundary; the default is not RESP.
  static Fault garbage(std::string bytes = "?not RESP\r\n") { return {Type::kGarbage, {}, std::move(bytes)}; }
  // Neither reads nor forwards nor closes, in both directions, until resume(): a peer that went
  // silent without a close. The client's writes block once the socket buffers are full; its
  // keep-alive probes are still acknowledged by this machine's kernel.
  static Fault halfOpen() { return {Type::kHalfOpen, {}, {}}; }

  Type type;
  std::chrono::milliseconds duration;
  std::string bytes;
};

// Threads: one forwarding thread per proxy; every public member may be called from any thread.
// A fault call returns once the fault is in effect. The destructor closes every socket and
// joins the thread. Bytes that one side sent before it closed are still delivered to the other.
class FaultProxy {
 public:
  explicit FaultProxy(int upstreamPort);
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  int port() const noexcept { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  // Applies fault to every open link of the given kinds; returns how many it hit.
  int inject(LinkKinds targets, const Fault& fault);
  // Every link accepted from now on starts with a stall of duration (zero ends this): a
  // reconnect that stays in progress for a while.
  void stallNewLinks(std::chrono::milliseconds duration);
  // Ends every stall, half-open state and stallNewLinks.
  void resume();

  // One-shot fault: once the nth request named `request` (any letter case; "XADD key" also
  // matches the first argument exactly), counted from now on links of kind `on`, has been
  // forwarded in full, fault hits that link. Nothing behind that request is read before the
  // fault is applied. A new arm() replaces one that has not fired.
  void arm(LinkKind on, std::string request, int nth, Fault fault);
  // True once the armed fault has fired, within timeout.
  bool waitFired(std::chrono::milliseconds timeout);

  // Links ever classified as kind / open now.
  int accepted(LinkKind kind) const;
  int open(LinkKind kind) const;
  // True when an open link of kind waits for the reply to a request named `request`, its only
  // unanswered one (the command worker blocked in XREAD, say).
  bool awaiting(LinkKind kind, std::string_view request) const;

 private:
  struct Link;
  struct Direction;
  struct Trigger {
    LinkKind on;
    std::string request;             // upper case
    std::optional<std::string> key;  // the first argument, when given
    int remaining;
    Fault fault;
  };

  // Runs task on the forwarding thread and waits for it.
  void execute(const std::function<void()>& task);
  void run();
  void acceptLink();
  void applyFault(Link& link, const Fault& fault);
  int applyToAll(LinkKinds targets, const Fault& fault);  // returns the links hit
  void readFrom(Link& link, bool fromClient);
  void writeTo(Link& link, bool toServer);
  void onRequest(Link& link, std::string name, std::string_view key);
  void openListener();

  const int upstreamPort_;
  int port_ = 0;
  UniqueFd listener_;
  UniqueFd wake_;

  mutable std::mutex mutex_;  // guards everything below; held by the thread while it works
  std::condition_variable done_;
  std::vector<std::function<void()>> tasks_;
  std::uint64_t tasksQueued_ = 0, tasksDone_ = 0;
  bool stopping_ = false;
  bool gone_ = false;  // the thread has ended; tasks are no longer run
  std::vector<std::unique_ptr<Link>> links_;
  std::optional<Trigger> trigger_;
  bool fired_ = false;
  std::chrono::milliseconds newLinkStall_{0};
  std::map<LinkKind, int> accepted_;

  std::thread thread_;  // last: starts after everything it uses
};

}  // namespace tul::test
