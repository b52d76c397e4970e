#pragma once

// Transport: the bytes under one Redis connection, plain TCP (TcpTransport) or TLS over it
// (TlsTransport). A RedisConnection owns one and sends every byte through it, so nothing can
// bypass TLS.
//
// Threads: a transport belongs to the thread that owns its connection. The one cross-thread
// influence is the stop source given at connect: another thread may request it at any time,
// which ends a wait or a write in progress (or the next one) with RedisError kStopped.
//
// Every failure is a RedisError: kClosed when the server or the path closed the connection,
// kTimeout when a write made no progress for SocketDevice::kWriteStallLimit, kStopped, kTls.

#include <chrono>
#include <cstddef>
#include <memory>
#include <span>
#include <string_view>

#include "ormanta/utils/io/StopSource.h"
#include "ormanta/utils/network/SocketDevice.h"
#include "redis/ConnectionSecurity.h"

namespace ormanta::plugins::TulService {

class Transport {
 public:
  virtual ~Transport() = default;

  // Writes all bytes (in pieces as the socket takes them).
  virtual void write(const void* data, std::size_t size) = 0;
  // True once bytes can be read (some may already be buffered), false when timeout passes.
  virtual bool waitForData(std::chrono::nanoseconds timeout) = 0;
  // As above without a time-out: ends with data, a close (which makes the socket readable, so
  // the next read throws) or the stop source.
  virtual void waitForData() = 0;
  // The bytes received so far, possibly none; valid until the next call of any of these.
  virtual std::span<const char> readAvailable() = 0;
  // Ends the connection, with the protocol's goodbye where it has one (TLS close_notify).
  // Never blocks on the server and never throws; the transport is unusable afterwards.
  virtual void close() noexcept = 0;
};

// A connected transport to address (6379 unless it names a port) within timeout: the TCP
// connect, then the TLS handshake when security asks for TLS. stopSource (which must outlive
// the transport) ends the attempt and every later wait. The TLS files are read first, so a
// missing file shows without a server. Throws RedisError: kConnect with the reason in detail(),
// kTls, kRefused (a file or server name that cannot be used), kStopped.
std::unique_ptr<Transport> connectTransport(std::string_view address, const ConnectionSecurity& security,
                                            std::chrono::nanoseconds timeout,
                                            utils::io::StopSource* stopSource);

}  // namespace ormanta::plugins::TulService
