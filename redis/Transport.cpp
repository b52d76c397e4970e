#include "redis/Transport.h"

#include "redis/RedisErrors.h"
#include "redis/TcpTransport.h"
#include "redis/TlsTransport.h"

namespace ormanta::plugins::TulService {

namespace {

constexpr std::uint16_t kDefaultPort = 6379;

}  // namespace

std::unique_ptr<Transport> connectTransport(std::string_view address, const ConnectionSecurity& security,
                                            std::chrono::nanoseconds timeout,
                                            utils::io::StopSource* stopSource) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + timeout;
  // The files are read before the network is touched: a missing one shows without a server.
  std::unique_ptr<TlsTransport> tls;
  if (security.tls) {
    tls = std::make_unique<TlsTransport>(
        security, security.tlsServerName.empty() ? TlsTransport::hostOf(address) : security.tlsServerName);
  }
  const utils::network::detail::PortOption port{utils::network::detail::PortOption::kDefault, kDefaultPort};
  constexpr int kAnyFamily = 0;
  constexpr int kTcp = 6;
  utils::network::SocketDevice socket = utils::network::SocketDevice::connectedSocketInternal(
      address, port, kAnyFamily, kTcp, timeout, stopSource);
  if (!socket) {
    // The host shows one text for every way a connect fails; the reason goes into detail().
    const bool stopped = stopSource != nullptr && stopSource->stopRequested();
    throw RedisError(stopped ? RedisError::Kind::kStopped : RedisError::Kind::kConnect,
                     "failed to connect to the Redis database", socket.connectError());
  }
  auto tcp = std::make_unique<TcpTransport>(std::move(socket));
  if (!tls) return tcp;
  tls->handshake(std::move(tcp), deadline);
  return tls;
}

}  // namespace ormanta::plugins::TulService
