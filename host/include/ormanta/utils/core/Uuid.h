#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "ormanta/utils/Expected.h"

namespace ormanta::utils::core {

// A 128-bit UUID held as 16 bytes in the order of its text form.
class Uuid {
 public:
  using Bytes = std::array<std::uint8_t, 16>;
  static constexpr std::size_t kTextLength = 36;

  constexpr Uuid() noexcept = default;  // the nil UUID

  static constexpr Uuid fromRawData(const Bytes& bytes) noexcept {
    Uuid uuid;
    uuid.bytes_ = bytes;
    return uuid;
  }
  static Uuid fromRawData(const std::uint8_t* sixteenBytes) noexcept;

  // 36 lower-case characters with hyphens: "595e1ee2-95ca-4ce0-883f-535893cb4b7c".
  std::string toString() const;
  // Writes exactly kTextLength characters, no terminator.
  void toChars(char* out) const noexcept;

  // Accepts the 36-character form in either letter case, optionally inside braces.
  // Anything else gives std::errc::invalid_argument; never throws.
  static Expected<Uuid> fromStringInternal(std::string_view text) noexcept;

  // A random (version 4) UUID, for host-made definitions.
  static Uuid generateRandom();

  const Bytes& bytes() const noexcept { return bytes_; }
  bool isNil() const noexcept;

  friend constexpr bool operator==(const Uuid&, const Uuid&) noexcept = default;
  friend constexpr auto operator<=>(const Uuid&, const Uuid&) noexcept = default;

 private:
  Bytes bytes_{};
};

}  // namespace ormanta::utils::core

template <>
struct std::hash<ormanta::utils::core::Uuid> {
  std::size_t operator()(const ormanta::utils::core::Uuid& uuid) const noexcept;
};
