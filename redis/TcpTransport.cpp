#include "redis/TcpTransport.h"

#include <system_error>

#include "redis/RedisErrors.h"

namespace ormanta::plugins::TulService {
namespace {

// Runs a socket call; its failure leaves as a RedisError with the socket's code.
template <class Call>
auto socketCall(Call&& call) {
  try {
    return call();
  } catch (const std::system_error& error) {
    throw RedisError(kindOfSocketError(error.code()), error.code(), error.what());
  }
}

}  // namespace

void TcpTransport::write(const void* data, std::size_t size) {
  socketCall([&] { socket_.write(data, size); });
}

bool TcpTransport::waitForData(std::chrono::nanoseconds timeout) {
  return socketCall([&] { return socket_.waitForData(timeout); });
}

void TcpTransport::waitForData() {
  socketCall([&] { socket_.waitForData(); });
}

std::span<const char> TcpTransport::readAvailable() {
  return socketCall([&] { return socket_.readAvailable().bytes; });
}

}  // namespace ormanta::plugins::TulService
