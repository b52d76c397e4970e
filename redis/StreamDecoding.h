#pragma once

// Decoding of XREAD replies into stream entries. Pure functions over a reply that the
// caller owns; safe on any thread.

#include <optional>
#include <string_view>
#include <vector>

#include "redis/RedisTypes.h"

namespace ormanta::plugins::TulService {

// Every byte of a string-like reply element (zero bytes included: "set\0x" is not "set");
// empty when the element carries no text.
std::string_view replyText(const redisReply& element) noexcept;

// The entries of streamKey in reply order. Elements of other shapes, or naming another
// stream, are skipped, so a malformed reply gives fewer entries, never an error.
std::vector<StreamEntry> decodeStreamReply(const redisReply& reply, std::string_view streamKey);

// The entries of an XRANGE or XREVRANGE reply, in reply order; entries of other shapes are skipped.
std::vector<StreamEntry> decodeRangeReply(const redisReply& reply);

// The field/value pairs of one stream entry; nothing when element is absent, not an array
// or holds fewer than two elements. An odd last element is ignored.
std::optional<StreamFieldValues> decodeFieldArray(const redisReply* element);

}  // namespace ormanta::plugins::TulService
