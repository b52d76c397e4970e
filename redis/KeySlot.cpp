#include "redis/KeySlot.h"

#include <array>

namespace ormanta::plugins::TulService {
namespace {

// CRC16-CCITT (XMODEM): polynomial 0x1021, initial value 0, no reflection.
constexpr std::array<std::uint16_t, 256> kCrcTable = [] {
  std::array<std::uint16_t, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    std::uint16_t crc = static_cast<std::uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    table[byte] = crc;
  }
  return table;
}();

std::uint16_t crc16(std::string_view bytes) noexcept {
  std::uint16_t crc = 0;
  for (const char c : bytes) {
    crc = static_cast<std::uint16_t>((crc << 8) ^
                                     kCrcTable[((crc >> 8) ^ static_cast<unsigned char>(c)) & 0xff]);
  }
  return crc;
}

}  // namespace

std::string_view hashedPart(std::string_view key) noexcept {
  const std::size_t open = key.find('{');
  if (open == std::string_view::npos) return key;
  const std::size_t close = key.find('}', open + 1);
  // "{}" and an unclosed "{" hash the whole key.
  if (close == std::string_view::npos || close == open + 1) return key;
  return key.substr(open + 1, close - open - 1);
}

std::uint16_t keySlot(std::string_view key) noexcept { return crc16(hashedPart(key)) % kClusterSlots; }

}  // namespace ormanta::plugins::TulService
