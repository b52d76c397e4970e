#pragma once

// TlsTransport: a TLS client session over the transport below it (TcpTransport). OpenSSL works
// on two memory BIOs; every network byte goes through the transport below, so blocking,
// time-outs and the stop source are the socket's own and no OpenSSL socket code is involved.
//
// Threads: a transport belongs to the thread that owns its connection (one connection attempt
// of one worker, or the peer tool's main thread); it has no lock. OpenSSL's error queue is per
// thread and is cleared before each call into it.
//
// Verification: the server's certificate chain is checked against tlsCaFile (or the system's
// trust store) and its name against the server name, always; nothing turns this off.
// Renegotiation is refused. A clean close() sends close_notify.

#include <chrono>
#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "redis/ConnectionSecurity.h"
#include "redis/Transport.h"

struct ssl_ctx_st;
struct ssl_st;
struct bio_st;

namespace ormanta::plugins::TulService {

class TlsTransport final : public Transport {
 public:
  using Clock = std::chrono::steady_clock;

  // Reads the PEM files of security now (each attempt sees the files as they are) and prepares
  // a session for serverName (a DNS name, or an IP address checked against the certificate's
  // IP entries). Throws RedisError kRefused naming the key and path of a file that cannot be
  // read or used.
  TlsTransport(const ConnectionSecurity& security, std::string_view serverName);
  ~TlsTransport() override;
  TlsTransport(const TlsTransport&) = delete;
  TlsTransport& operator=(const TlsTransport&) = delete;

  // Takes over the connected transport below and does the handshake on it, bounded by deadline.
  // Throws RedisError kTls "TLS handshake failed: <reason>"; a stop passes through as kStopped.
  void handshake(std::unique_ptr<Transport> below, Clock::time_point deadline);

  // The Transport operations on the plain text. A close by the server throws kClosed, TLS
  // failures kTls. Under TLS 1.3 the server judges the client's certificate only after the
  // client's side of the handshake is done, so a refusal shows up in the first read; until
  // plain text has arrived, failures read "TLS handshake failed: <reason>".
  void write(const void* data, std::size_t size) override;
  bool waitForData(std::chrono::nanoseconds timeout) override;
  void waitForData() override;
  std::span<const char> readAvailable() override;
  // close_notify first, unless the session failed or the stop source ended it.
  void close() noexcept override;

  // The host part of an address text as the host socket reads it ("name:port", "[::1]:port",
  // bare "::1"); "localhost" for an empty host.
  static std::string hostOf(std::string_view address);

 private:
  struct ContextDeleter {
    void operator()(ssl_ctx_st* context) const noexcept;
  };
  struct SessionDeleter {
    void operator()(ssl_st* session) const noexcept;
  };

  // Decrypts what the input BIO holds into plain_; true when plain_ holds bytes.
  bool decryptBuffered();
  void sendPendingOutput();
  void receiveForHandshake(Clock::time_point deadline);
  // The server hung up before any plain text came: the best reason that can still be found.
  [[noreturn]] void throwHungUp();
  [[noreturn]] void throwFailure(int sslError, bool duringHandshake);
  std::string failureReason(int sslError);
  void feed(std::span<const char> bytes);

  std::unique_ptr<Transport> below_;
  std::unique_ptr<ssl_ctx_st, ContextDeleter> context_;
  std::unique_ptr<ssl_st, SessionDeleter> session_;
  bio_st* networkIn_ = nullptr;   // owned by session_: bytes from the server
  bio_st* networkOut_ = nullptr;  // owned by session_: bytes for the server
  bool clientCertificate_ = false;
  std::optional<unsigned char> firstByteReceived_;
  bool plainTextSeen_ = false;
  bool failed_ = false;  // a call threw: no close_notify into a session that is not in step
  // Plain text handed out by the last readAvailable is dropped at the next fill.
  std::vector<char> plain_;
  bool handedOut_ = false;
  // A close or failure met behind plain text that was still to be handed out.
  std::exception_ptr pendingFailure_;
};

}  // namespace ormanta::plugins::TulService
