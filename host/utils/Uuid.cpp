#include "ormanta/utils/core/Uuid.h"

#include <cstring>
#include <random>

namespace ormanta::utils::core {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Positions of the hyphens in the 36-character text.
constexpr bool isHyphenPosition(std::size_t i) noexcept { return i == 8 || i == 13 || i == 18 || i == 23; }

int hexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The finaliser of splitmix64: a bijection that spreads every input bit over the output.
std::uint64_t mix64(std::uint64_t x) noexcept {
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

std::mt19937_64 seededEngine() {
  std::random_device device;
  std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
  return std::mt19937_64(seed);
}

}  // namespace

Uuid Uuid::fromRawData(const std::uint8_t* sixteenBytes) noexcept {
  Bytes bytes;
  std::memcpy(bytes.data(), sixteenBytes, bytes.size());
  return fromRawData(bytes);
}

void Uuid::toChars(char* out) const noexcept {
  std::size_t byte = 0;
  for (std::size_t i = 0; i < kTextLength; ++i) {
    if (isHyphenPosition(i)) {
      out[i] = '-';
      continue;
    }
    out[i] = kHexDigits[bytes_[byte] >> 4];
    out[++i] = kHexDigits[bytes_[byte] & 0x0f];
    ++byte;
  }
}

std::string Uuid::toString() const {
  std::string text(kTextLength, '\0');
  toChars(text.data());
  return text;
}

Expected<Uuid> Uuid::fromStringInternal(std::string_view text) noexcept {
  const Unexpected invalid{std::make_error_code(std::errc::invalid_argument)};
  if (text.size() == kTextLength + 2) {
    if (text.front() != '{' || text.back() != '}') return invalid;
    text = text.substr(1, kTextLength);
  }
  if (text.size() != kTextLength) return invalid;

  Bytes bytes;
  std::size_t byte = 0;
  for (std::size_t i = 0; i < kTextLength; ++i) {
    if (isHyphenPosition(i)) {
      if (text[i] != '-') return invalid;
      continue;
    }
    // Every group has an even number of digits, so a byte's two digits never straddle a hyphen.
    const int high = hexValue(text[i]);
    const int low = hexValue(text[++i]);
    if (high < 0 || low < 0) return invalid;
    bytes[byte++] = static_cast<std::uint8_t>((high << 4) | low);
  }
  return fromRawData(bytes);
}

Uuid Uuid::generateRandom() {
  // One engine per thread: no lock, and threads never share a sequence.
  thread_local std::mt19937_64 engine = seededEngine();
  Bytes bytes;
  for (std::size_t i = 0; i < bytes.size(); i += 8) {
    const std::uint64_t word = engine();
    std::memcpy(bytes.data() + i, &word, 8);
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  return fromRawData(bytes);
}

bool Uuid::isNil() const noexcept { return *this == Uuid(); }

}  // namespace ormanta::utils::core

std::size_t std::hash<ormanta::utils::core::Uuid>::operator()(
    const ormanta::utils::core::Uuid& uuid) const noexcept {
  std::uint64_t high;
  std::uint64_t low;
  std::memcpy(&high, uuid.bytes().data(), 8);
  std::memcpy(&low, uuid.bytes().data() + 8, 8);
  // Bijective mixes: UUIDs differing in either half alone never collide.
  using ormanta::utils::core::mix64;
  return static_cast<std::size_t>(mix64(high ^ mix64(low)));
}
