#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "registration/DataPointCatalogue.h"

namespace ormanta::plugins::TulService {

// What a run knows of one structure type.
struct TypeEntry {
  std::uint64_t totalSize = 0;  // the sum of the members' sizes
  std::string typeName;         // "t_<n>"; empty until the type has been encoded
};

// Combines the hashes of every member's four fields in order; equal lists hash equally.
struct MemberListHash {
  std::size_t operator()(const MemberList& members) const noexcept;
};

// Member list to structure type: equal lists (same length, members equal field by field)
// share one type. The table owns its keys. Registration worker thread only.
class TypeTable : public std::unordered_map<MemberList, TypeEntry, MemberListHash> {
 public:
  TypeTable() : unordered_map(8) { max_load_factor(1.0f); }
};

}  // namespace ormanta::plugins::TulService
