#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ormanta/utils/io/Device.h"
#include "ormanta/utils/io/StopSource.h"

namespace ormanta::utils::network {

namespace detail {
// How the port of a connection is chosen.
struct PortOption {
  static constexpr std::uint32_t kNone = 0;     // the host text must carry ":port"
  static constexpr std::uint32_t kDefault = 1;  // port, unless the host text carries its own
  static constexpr std::uint32_t kForced = 2;   // port, whatever the host text says

  std::uint32_t selector = kDefault;
  std::uint16_t port = 0;
};
}  // namespace detail

// A connected TCP socket (or an unconnected one, which tests false).
//
// Host text forms: "name", "name:port", "1.2.3.4", "1.2.3.4:port", "[::1]", "[::1]:port",
// and a bare IPv6 literal "::1" (no port possible then). An empty host means the local
// machine. Names are resolved with the OS resolver; every address found is tried in turn
// within the one connect time-out.
//
// Blocking calls (waitForData, write) end when the stop source given at connect time is
// requested: they throw std::system_error with std::errc::operation_canceled. A connection
// closed by the peer makes readAvailable() throw std::system_error with
// std::errc::connection_reset ("connection closed by the peer"); a wait never hangs on a
// closed connection, since the close makes the socket readable.
//
// No call waits without end on a peer that stopped answering, which the plug-in relies on:
// - write() throws std::system_error(std::errc::timed_out) when it makes no progress for
//   kWriteStallLimit (a stalled server or a half-open connection);
// - every connection has TCP keep-alive (and a TCP user time-out), so that a peer that vanished
//   without closing ends even an unbounded waitForData() within kKeepAliveLimit.
//
// One thread uses a socket at a time; only the stop source is shared.
class SocketDevice : public io::InputDevice, public io::OutputDevice {
 public:
  static constexpr std::size_t kReadBufferSize = 64 * 1024;
  static constexpr std::chrono::seconds kWriteStallLimit{3};
  static constexpr std::chrono::seconds kKeepAliveIdle{10};
  static constexpr std::chrono::seconds kKeepAliveInterval{5};
  static constexpr int kKeepAliveProbes = 3;
  static constexpr std::chrono::seconds kKeepAliveLimit{kKeepAliveIdle +
                                                        kKeepAliveInterval * kKeepAliveProbes};
  static_assert(kKeepAliveLimit <= std::chrono::seconds(30));

  SocketDevice() noexcept;
  ~SocketDevice() override;
  SocketDevice(SocketDevice&& other) noexcept;
  SocketDevice& operator=(SocketDevice&& other) noexcept;
  SocketDevice(const SocketDevice&) = delete;
  SocketDevice& operator=(const SocketDevice&) = delete;

  // Connects; on any failure (bad text, unknown name, refused, time-out, stop) returns an
  // unconnected socket whose connectError() says why. addressFamily 0 means any; protocol 6
  // is TCP (the only one supported). A missing time-out means the OS's own.
  static SocketDevice connectedSocketInternal(std::string_view host, detail::PortOption port,
                                              int addressFamily, int protocol,
                                              std::optional<std::chrono::nanoseconds> timeout,
                                              io::StopSource* stopSource);

  explicit operator bool() const noexcept { return handle_ >= 0; }
  // The OS handle, for inspection only (tests); -1 when not connected.
  std::intptr_t nativeHandle() const noexcept { return handle_; }
  void close() noexcept;

  // Why the last connectedSocketInternal that produced this object failed; empty when it did not.
  const std::string& connectError() const noexcept { return connectError_; }

  void waitForData() override;
  bool waitForData(std::chrono::nanoseconds timeout) override;
  io::ReadResult readAvailable() override;
  void write(const void* data, std::size_t size) override;

 private:
  // Returns true when readable, false on time-out; a negative timeout waits without limit.
  bool pollReadable(std::chrono::nanoseconds timeout);
  void requireOpen() const;

  std::intptr_t handle_ = -1;
  io::StopSource* stopSource_ = nullptr;
  std::unique_ptr<char[]> readBuffer_;
  std::string connectError_;
};

}  // namespace ormanta::utils::network
