#include "redis/RedisConnection.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

namespace ormanta::plugins::TulService {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void throwReplyTimeout() {
  throw RedisError(RedisError::Kind::kTimeout, "timeout exceeded while waiting for a Redis reply");
}

}  // namespace

RedisConnection::RedisConnection(std::string_view address, ConnectionSecurity security)
    : reader_(makeRedisReader()), address_(address), security_(std::move(security)) {}

RedisConnection::RedisConnection(std::unique_ptr<Transport> transport)
    : reader_(makeRedisReader()), transport_(std::move(transport)) {}

RedisConnection::~RedisConnection() {
  if (transport_) transport_->close();
}

void RedisConnection::connect(utils::io::StopSource& stopSource, std::uint64_t timeoutSeconds) {
  connect(stopSource, std::chrono::seconds(timeoutSeconds));
}

void RedisConnection::connect(utils::io::StopSource& stopSource, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  transport_ = connectTransport(address_, security_, timeout, &stopSource);
  // Under TLS 1.3 the server judges a client certificate after the client's handshake is
  // done; only an answer shows that it accepted the session.
  if (!security_.password.empty() || security_.tls) greet(deadline);
}

void RedisConnection::greet(Clock::time_point deadline) {
  RedisArgs args;
  if (security_.password.empty()) {
    args = {"PING"};
  } else {
    args = {"AUTH"};
    if (!security_.username.empty()) args.emplace_back(security_.username);
    args.emplace_back(security_.password);
  }
  RedisReplyPtr reply;
  try {
    sendCommand(args);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    reply = waitForReply(std::min(replyTimeout(), left));
  } catch (const RedisError& error) {
    // A TLS-only server hangs up on plain text.
    if (security_.tls || error.kind() != RedisError::Kind::kClosed) throw;
    throw RedisError(RedisError::Kind::kClosed,
                     "the server closed the connection before it answered AUTH (does it expect TLS?)");
  }
  // The server's own text ("WRONGPASS ...", "NOPERM ...", "NOAUTH ..."); it never repeats the password.
  if (reply->type == kReplyError) {
    throw RedisError::fromReply(reply->str == nullptr ? std::string_view()
                                                      : std::string_view(reply->str, reply->len));
  }
}

Transport& RedisConnection::transport() {
  if (!transport_) {
    throw RedisError(RedisError::Kind::kClosed, std::make_error_code(std::errc::not_connected),
                     "not connected");
  }
  return *transport_;
}

void RedisConnection::sendCommand(const RedisArgs& args) {
  // The request's bytes are released with hi_free when it leaves scope, also if write throws.
  const FormattedRequest request = formatter_.format(args);
  transport().write(request.bytes.get(), request.size);
}

RedisReplyPtr RedisConnection::tryGetReply() {
  void* raw = nullptr;
  const int status = redisReaderGetReply(reader_.get(), &raw);
  RedisReplyPtr reply(static_cast<redisReply*>(raw));
  if (status == REDIS_ERR) throw RedisError(RedisError::Kind::kProtocol, "corrupted Redis reply received");
  return reply;
}

RedisReplyPtr RedisConnection::waitForReply(std::chrono::milliseconds timeout) {
  RedisReplyPtr reply = waitForMessage(timeout);
  if (!reply) throwReplyTimeout();
  return reply;
}

RedisReplyPtr RedisConnection::waitForMessage(std::chrono::milliseconds timeout) {
  // Keeps the nanosecond arithmetic below far from overflow; no reply is awaited for a year.
  timeout = std::min(timeout, std::chrono::milliseconds(std::chrono::hours(24 * 365)));
  const Clock::time_point deadline = Clock::now() + timeout;
  std::chrono::nanoseconds remaining = timeout;
  if (remaining.count() < 1) return nullptr;
  for (;;) {
    if (RedisReplyPtr reply = tryGetReply()) {
      if (reply->type != kReplyPush) return reply;
      // A push is dropped; the command's own reply is still to come.
    } else {
      if (!transport().waitForData(remaining)) return nullptr;
      remaining = deadline - Clock::now();
      // Fed even when the deadline has just passed; the check below still ends the wait. Bytes
      // of a reply not yet complete stay in the reader for the next call.
      feed(transport().readAvailable());
    }
    if (remaining.count() < 1) return nullptr;
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
