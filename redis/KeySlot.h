#pragma once

// The hash slot of a key on a Redis Cluster, as the server computes it: CRC16 (XMODEM) of the
// key, or of its hash tag, modulo 16384. The tag is what stands between the first "{" and the
// first "}" after it, when that is not empty; keys with one tag land in one slot.
//
// Threads: pure functions, any thread.

#include <cstdint>
#include <string_view>

namespace ormanta::plugins::TulService {

inline constexpr std::uint16_t kClusterSlots = 16384;

// The part of key that is hashed: its hash tag, or the whole key.
std::string_view hashedPart(std::string_view key) noexcept;
// The slot of key, 0 to 16383.
std::uint16_t keySlot(std::string_view key) noexcept;

}  // namespace ormanta::plugins::TulService
