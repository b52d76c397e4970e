#include "redis/RedisConnection.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "redis/TlsTransport.h"

namespace ormanta::plugins::TulService {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void throwReplyTimeout() {
  throw std::runtime_error("timeout exceeded while waiting for a Redis reply");
}

}  // namespace

RedisConnection::RedisConnection(std::string_view address, ConnectionSecurity security)
    : reader_(redisReaderCreate()), address_(address), security_(std::move(security)) {
  if (!reader_) throw std::bad_alloc();
}

RedisConnection::~RedisConnection() { close(); }

void RedisConnection::connect(utils::io::StopSource& stopSource, std::uint64_t timeoutSeconds) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  // The files are read before the network is touched: a missing one shows without a server.
  if (security_.tls) {
    const std::string serverName =
        security_.tlsServerName.empty() ? TlsTransport::hostOf(address_) : security_.tlsServerName;
    tls_ = std::make_unique<TlsTransport>(*this, security_, serverName);
  }
  const utils::network::detail::PortOption port{utils::network::detail::PortOption::kDefault, kDefaultPort};
  constexpr int kAnyFamily = 0;
  constexpr int kTcp = 6;
  const std::chrono::nanoseconds timeout = std::chrono::seconds(timeoutSeconds);
  SocketDevice socket = connectedSocketInternal(address_, port, kAnyFamily, kTcp, timeout, &stopSource);
  if (!socket) throw std::runtime_error("failed to connect to the Redis database");
  SocketDevice::operator=(std::move(socket));
  if (tls_) tls_->handshake(deadline);
  // Under TLS 1.3 the server judges a client certificate after the client's handshake is
  // done; only an answer shows that it accepted the session.
  if (!security_.password.empty() || tls_) greet(deadline);
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
  } catch (const std::system_error& error) {
    // A TLS-only server hangs up on plain text.
    if (tls_ || error.code() != std::errc::connection_reset) throw;
    throw std::runtime_error(
        "the server closed the connection before it answered AUTH (does it expect TLS?)");
  }
  // The server's own text ("WRONGPASS ...", "NOPERM ...", "NOAUTH ..."); it never repeats the password.
  if (reply->type == kReplyError) {
    throw std::runtime_error(reply->str == nullptr ? std::string() : std::string(reply->str, reply->len));
  }
}

void RedisConnection::write(const void* data, std::size_t size) {
  if (tls_) return tls_->write(data, size);
  SocketDevice::write(data, size);
}

bool RedisConnection::waitForData(std::chrono::nanoseconds timeout) {
  return tls_ ? tls_->waitForData(timeout) : SocketDevice::waitForData(timeout);
}

void RedisConnection::waitForData() {
  if (tls_) return tls_->waitForData();
  SocketDevice::waitForData();
}

utils::io::ReadResult RedisConnection::readAvailable() {
  if (!tls_) return SocketDevice::readAvailable();
  return {tls_->readAvailable(), false};
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
