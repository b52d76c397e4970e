#include "redis/SlotMap.h"

#include <algorithm>

#include "redis/RedisConnection.h"
#include "redis/ServerLocator.h"
#include "redis/StreamDecoding.h"

namespace ormanta::plugins::TulService {
namespace {

RedisError malformed() {
  return RedisError(RedisError::Kind::kProtocol, "unexpected Redis reply to CLUSTER SLOTS");
}

std::string_view hostOf(std::string_view address) {
  if (address.starts_with('[')) return address.substr(1, address.find(']') - 1);
  return address.substr(0, address.rfind(':'));
}

}  // namespace

SlotMap SlotMap::fromReply(const redisReply& reply, std::string_view answeredBy) {
  if (reply.type != kReplyArray) throw malformed();
  SlotMap map;
  map.owners_.fill(kNoOwner);
  map.source_ = answeredBy;
  map.fetchedAt_ = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < reply.elements; ++i) {
    const redisReply& range = *reply.element[i];
    if (range.type != kReplyArray || range.elements < 3 || range.element[0]->type != kReplyInteger ||
        range.element[1]->type != kReplyInteger || range.element[2]->type != kReplyArray ||
        range.element[2]->elements < 2 || range.element[2]->element[1]->type != kReplyInteger) {
      throw malformed();
    }
    const long long first = range.element[0]->integer;
    const long long last = range.element[1]->integer;
    if (first < 0 || last < first || last >= kClusterSlots) throw malformed();
    std::string_view ip = replyText(*range.element[2]->element[0]);
    if (ip.empty() || ip == "?") ip = hostOf(answeredBy);
    const std::string primary =
        ServerLocator::addressOf(ip, std::to_string(range.element[2]->element[1]->integer));
    auto known = std::find(map.primaries_.begin(), map.primaries_.end(), primary);
    if (known == map.primaries_.end()) known = map.primaries_.insert(known, primary);
    std::fill(map.owners_.begin() + first, map.owners_.begin() + last + 1,
              static_cast<std::uint16_t>(known - map.primaries_.begin()));
  }
  return map;
}

std::shared_ptr<const SlotMap> SlotMap::fetch(RedisConnection& connection) {
  const RedisReplyPtr reply = connection.command({"CLUSTER", "SLOTS"});
  if (reply->type == kReplyError) throw RedisError::fromReply(replyText(*reply));
  return std::make_shared<const SlotMap>(fromReply(*reply, connection.address()));
}

const std::string& SlotMap::ownerOf(std::uint16_t slot) const noexcept {
  static const std::string kNone;
  const std::uint16_t owner = owners_[slot % kClusterSlots];
  return owner == kNoOwner ? kNone : primaries_[owner];
}

std::shared_ptr<const SlotMap> SlotMap::withMoved(std::uint16_t slot, std::string_view address) const {
  auto moved = std::make_shared<SlotMap>(*this);
  auto known = std::find(moved->primaries_.begin(), moved->primaries_.end(), address);
  if (known == moved->primaries_.end()) known = moved->primaries_.insert(known, std::string(address));
  moved->owners_[slot % kClusterSlots] = static_cast<std::uint16_t>(known - moved->primaries_.begin());
  return moved;
}

}  // namespace ormanta::plugins::TulService
