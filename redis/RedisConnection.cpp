#include "redis/RedisConnection.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace ormanta::plugins::TulService {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void throwReplyTimeout() {
  throw std::runtime_error("timeout exceeded while waiting for a Redis reply");
}

}  // namespace

RedisConnection::RedisConnection(std::string_view address) : reader_(redisReaderCreate()), address_(address) {
  if (!reader_) throw std::bad_alloc();
}

RedisConnection::~RedisConnection() { close(); }

void RedisConnection::connect(utils::io::StopSource& stopSource, std::uint64_t timeoutSeconds) {
  const utils::network::detail::PortOption port{utils::network::detail::PortOption::kDefault, kDefaultPort};
  constexpr int kAnyFamily = 0;
  constexpr int kTcp = 6;
  const std::chrono::nanoseconds timeout = std::chrono::seconds(timeoutSeconds);
  SocketDevice socket = connectedSocketInternal(address_, port, kAnyFamily, kTcp, timeout, &stopSource);
  if (!socket) throw std::runtime_error("failed to connect to the Redis database");
  SocketDevice::operator=(std::move(socket));
}

void RedisConnection::sendCommand(const RedisArgs& args) {
  // The request's bytes are released with hi_free when it leaves scope, also if write throws.
  const FormattedRequest request = formatter_.format(args);
  write(request.bytes.get(), request.size);
}

RedisReplyPtr RedisConnection::tryGetReply() {
  void* raw = nullptr;
  const int status = redisReaderGetReply(reader_.get(), &raw);
  RedisReplyPtr reply(static_cast<redisReply*>(raw));
  if (status == REDIS_ERR) throw std::runtime_error("corrupted Redis reply received");
  return reply;
}

RedisReplyPtr RedisConnection::waitForReply(std::chrono::milliseconds timeout) {
  // Keeps the nanosecond arithmetic below far from overflow; longer waits are what
  // waitForReplyUnbounded is for.
  timeout = std::min(timeout, std::chrono::milliseconds(std::chrono::hours(24 * 365)));
  const Clock::time_point deadline = Clock::now() + timeout;
  std::chrono::nanoseconds remaining = timeout;
  if (remaining.count() < 1) throwReplyTimeout();
  for (;;) {
    if (RedisReplyPtr reply = tryGetReply()) {
      if (reply->type != kReplyPush) return reply;
      // A push is dropped; the command's own reply is still to come.
    } else {
      if (!waitForData(remaining)) throwReplyTimeout();
      remaining = deadline - Clock::now();
      // Fed even when the deadline has just passed; the check below still ends the wait.
      feed(readAvailable().bytes);
    }
    if (remaining.count() < 1) throwReplyTimeout();
  }
}

RedisReplyPtr RedisConnection::waitForReplyUnbounded() {
  for (;;) {
    if (RedisReplyPtr reply = tryGetReply()) {
      if (reply->type != kReplyPush) return reply;
      continue;
    }
    // Never hangs on a dead peer: a close makes the socket readable and readAvailable throw.
    waitForData();
    feed(readAvailable().bytes);
  }
}

void RedisConnection::feed(std::span<const char> bytes) {
  // A failed feed leaves the reader in its error state, which the next tryGetReply reports.
  if (!bytes.empty()) redisReaderFeed(reader_.get(), bytes.data(), bytes.size());
}

std::chrono::milliseconds RedisConnection::replyTimeout() const noexcept {
  return std::chrono::seconds(replyTimeoutSeconds_);
}

RedisReplyPtr RedisConnection::waitForBoundedReply() { return waitForReply(replyTimeout()); }

}  // namespace ormanta::plugins::TulService
