#pragma once

// The names and the length of the value streams, one per member: what the data worker
// publishes, the set command echoes and the registration records advertise. Pure functions.

#include <cstdint>
#include <string>
#include <string_view>

namespace ormanta::plugins::TulService {

// Each value stream keeps about this many entries ("MAXLEN ~").
inline constexpr std::uint64_t kValueHistoryLength = 100;

// "<S>Value": what every value stream key of service S starts with (no separator).
inline std::string valueStreamPrefix(std::string_view serviceName) {
  return std::string(serviceName).append("Value");
}

// key = "<prefix>:<member path>", the member path as the peer gave it; reuses key's storage.
inline void assignValueStreamKey(std::string& key, std::string_view prefix, std::string_view memberPath) {
  key.assign(prefix).append(1, ':').append(memberPath);
}

inline std::string valueStreamKey(std::string_view prefix, std::string_view memberPath) {
  std::string key;
  key.reserve(prefix.size() + 1 + memberPath.size());
  assignValueStreamKey(key, prefix, memberPath);
  return key;
}

}  // namespace ormanta::plugins::TulService
