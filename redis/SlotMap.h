#pragma once

// SlotMap: which primary of a Redis Cluster serves each hash slot, as one node described it
// (CLUSTER SLOTS). Immutable once made and shared by pointer: a redirection that moves one slot
// makes a changed copy.
//
// Threads: a made map is read-only, any thread.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "redis/KeySlot.h"
#include "redis/RedisTypes.h"

namespace ormanta::plugins::TulService {

class RedisConnection;

class SlotMap {
 public:
  // Parses CLUSTER SLOTS: [[start, end, [ip, port, ...], replicas...], ...]. A primary given with
  // no ip ("" or "?") is the node that answered, at answeredBy's host. Throws RedisError kProtocol
  // for any other shape.
  static SlotMap fromReply(const redisReply& reply, std::string_view answeredBy);
  // Asks the node over connection (CLUSTER SLOTS); throws its error reply or what the connection throws.
  static std::shared_ptr<const SlotMap> fetch(RedisConnection& connection);

  // "host:port" of the primary that serves slot; empty when no node does.
  const std::string& ownerOf(std::uint16_t slot) const noexcept;
  // Every primary, in the order the node listed them.
  const std::vector<std::string>& primaries() const noexcept { return primaries_; }
  // The node that described the map.
  const std::string& source() const noexcept { return source_; }
  std::chrono::steady_clock::time_point fetchedAt() const noexcept { return fetchedAt_; }
  // A copy in which address serves slot (a MOVED redirection).
  std::shared_ptr<const SlotMap> withMoved(std::uint16_t slot, std::string_view address) const;

 private:
  static constexpr std::uint16_t kNoOwner = 0xFFFF;

  std::vector<std::string> primaries_;
  std::array<std::uint16_t, kClusterSlots> owners_{};  // index into primaries_, or kNoOwner
  std::string source_;
  std::chrono::steady_clock::time_point fetchedAt_;
};

}  // namespace ormanta::plugins::TulService
