#pragma once

#include "ormanta/utils/network/SocketDevice.h"
#include "redis/Transport.h"

namespace ormanta::plugins::TulService {

// Plain TCP: the host's socket, its failures as RedisErrors. Also the layer under TlsTransport.
class TcpTransport final : public Transport {
 public:
  explicit TcpTransport(utils::network::SocketDevice socket) noexcept : socket_(std::move(socket)) {}

  void write(const void* data, std::size_t size) override;
  bool waitForData(std::chrono::nanoseconds timeout) override;
  void waitForData() override;
  std::span<const char> readAvailable() override;
  void close() noexcept override { socket_.close(); }

 private:
  utils::network::SocketDevice socket_;
};

}  // namespace ormanta::plugins::TulService
