#include "registration/TypeTable.h"

#include <functional>
#include <string_view>

namespace ormanta::plugins::TulService {

namespace {

// The 64-bit golden-ratio mix: spreads every input bit over the seed, and order matters, so
// that lists holding the same members in another order land elsewhere.
inline void combine(std::size_t& seed, std::size_t hash) noexcept {
  seed ^= hash + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

}  // namespace

std::size_t MemberListHash::operator()(const MemberList& members) const noexcept {
  std::size_t seed = members.size();
  for (const MemberDescription& member : members) {
    combine(seed, std::hash<std::string_view>{}(member.name));
    combine(seed, std::hash<std::int32_t>{}(member.nativeType));
    combine(seed, std::hash<std::int32_t>{}(member.bitSize));
    combine(seed, std::hash<std::int32_t>{}(member.access));
  }
  return seed;
}

}  // namespace ormanta::plugins::TulService
