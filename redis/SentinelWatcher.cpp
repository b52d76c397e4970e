#include "redis/SentinelWatcher.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "redis/StreamDecoding.h"

namespace ormanta::plugins::TulService {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> result;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find(' ', start), text.size());
    if (end > start) result.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

bool isArrayStartingWith(const redisReply& reply, std::string_view first) {
  return reply.type == kReplyArray && reply.elements >= 1 && replyText(*reply.element[0]) == first;
}

}  // namespace

SentinelWatcher::SentinelWatcher(const ServerLocator& locator, OnSwitch onSwitch)
    : locator_(locator), onSwitch_(std::move(onSwitch)) {}

void SentinelWatcher::start() {
  stop();
  stopSource_.reset();
  thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

void SentinelWatcher::stop() noexcept {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  stopSource_.requestStop();
  thread_.join();
}

void SentinelWatcher::run(const std::stop_token& stop) {
  const std::vector<std::string>& sentinels = locator_.sentinels()->addresses;
  for (std::size_t next = 0; !stop.stop_requested(); next = (next + 1) % sentinels.size()) {
    try {
      watch(sentinels[next], stop);
    } catch (const std::exception&) {
      // This sentinel failed; the next one is tried after a pause. Nothing to show: the
      // connections to the primary tell the host whether the service serves.
    }
    for (const auto until = Clock::now() + kRetryPause; !stop.stop_requested() && Clock::now() < until;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

void SentinelWatcher::watch(const std::string& sentinel, const std::stop_token& stop) {
  const SentinelSettings& settings = *locator_.sentinels();
  ConnectionSecurity security = locator_.security();
  security.username = settings.username;
  security.password = settings.password;
  RedisConnection connection(sentinel, security);
  connection.connect(stopSource_, ServerLocator::kSentinelTimeout);
  const RedisReplyPtr subscribed = connection.command({"SUBSCRIBE", "+switch-master"});
  if (subscribed->type == kReplyError) throw RedisError::fromReply(replyText(*subscribed));
  if (!isArrayStartingWith(*subscribed, "subscribe")) {
    throw RedisError(RedisError::Kind::kProtocol, "unexpected reply to SUBSCRIBE");
  }
  // A failover announced while nobody listened.
  const std::string primary = locator_.askSentinels(stopSource_);
  const std::string current = locator_.currentAddress();
  if (!current.empty() && primary != current) onSwitch_(primary, "the sentinels name " + primary);

  constexpr Clock::time_point kNoPing = Clock::time_point::max();
  Clock::time_point pingAt = Clock::now() + kPingEvery;
  Clock::time_point pongBy = kNoPing;  // a PING awaits its answer until then
  const auto replyTimeout = std::chrono::seconds(connection.replyTimeoutSeconds());
  while (!stop.stop_requested()) {
    if (pongBy == kNoPing && Clock::now() >= pingAt) {
      connection.sendCommand({"PING"});
      pongBy = Clock::now() + replyTimeout;
    }
    const Clock::time_point wakeAt = pongBy == kNoPing ? pingAt : pongBy;
    const RedisReplyPtr message =
        connection.waitForMessage(std::chrono::ceil<std::chrono::milliseconds>(wakeAt - Clock::now()));
    if (!message) {
      if (Clock::now() >= pongBy) throw RedisError(RedisError::Kind::kTimeout, "the sentinel did not answer");
      continue;
    }
    if (message->type == kReplyError) throw RedisError::fromReply(replyText(*message));
    if (isArrayStartingWith(*message, "pong")) {
      pongBy = kNoPing;
      pingAt = Clock::now() + kPingEvery;
    } else if (isArrayStartingWith(*message, "message") && message->elements == 3) {
      // "<master> <old ip> <old port> <new ip> <new port>"
      const std::string_view payload = replyText(*message->element[2]);
      const std::vector<std::string_view> parts = words(payload);
      if (parts.size() == 5 && parts[0] == settings.master) {
        onSwitch_(ServerLocator::addressOf(parts[3], parts[4]), "+switch-master " + std::string(payload));
      }
    }
  }
}

}  // namespace ormanta::plugins::TulService
