#include "redis/StreamDecoding.h"

#include <charconv>
#include <span>
#include <string>

namespace ormanta::plugins::TulService {

namespace {

std::span<redisReply* const> elementsOf(const redisReply& reply) noexcept {
  if (reply.element == nullptr) return {};
  return {reply.element, reply.elements};
}

bool isString(const redisReply* element) noexcept {
  return element != nullptr && element->type == kReplyString;
}

// One top-level element of an XREAD reply: [stream name, [entry, ...]].
std::span<redisReply* const> entriesOfStream(const redisReply* stream, std::string_view streamKey) noexcept {
  if (stream == nullptr) return {};
  const auto parts = elementsOf(*stream);
  if (parts.size() != 2 || !isString(parts[0]) || replyText(*parts[0]) != streamKey) return {};
  if (parts[1] == nullptr || parts[1]->type != kReplyArray) return {};
  return elementsOf(*parts[1]);
}

// One entry: [id, [field, value, ...]].
void appendEntry(const redisReply* entry, std::vector<StreamEntry>& out) {
  if (entry == nullptr) return;
  const auto parts = elementsOf(*entry);
  if (parts.size() != 2 || !isString(parts[0])) return;
  std::optional<StreamFieldValues> fields = decodeFieldArray(parts[1]);
  if (!fields) return;
  out.push_back(StreamEntry{std::string(replyText(*parts[0])), std::move(*fields)});
}

}  // namespace

std::string_view replyText(const redisReply& element) noexcept {
  if (element.str == nullptr) return {};
  return {element.str, element.len};
}

std::vector<StreamEntry> decodeStreamReply(const redisReply& reply, std::string_view streamKey) {
  std::vector<StreamEntry> entries;
  for (const redisReply* stream : elementsOf(reply)) {
    const auto streamEntries = entriesOfStream(stream, streamKey);
    entries.reserve(entries.size() + streamEntries.size());
    for (const redisReply* entry : streamEntries) appendEntry(entry, entries);
  }
  return entries;
}

std::vector<StreamEntry> decodeRangeReply(const redisReply& reply) {
  std::vector<StreamEntry> entries;
  const auto items = elementsOf(reply);
  entries.reserve(items.size());
  for (const redisReply* entry : items) appendEntry(entry, entries);
  return entries;
}

std::optional<StreamId> StreamId::parse(std::string_view text) noexcept {
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  StreamId id;
  const char* const end = text.data() + text.size();
  const auto [msEnd, msError] = std::from_chars(text.data(), text.data() + dash, id.ms);
  if (msError != std::errc() || msEnd != text.data() + dash || dash == 0) return std::nullopt;
  const auto [seqEnd, seqError] = std::from_chars(text.data() + dash + 1, end, id.seq);
  if (seqError != std::errc() || seqEnd != end || dash + 1 == text.size()) return std::nullopt;
  return id;
}

std::optional<StreamFieldValues> decodeFieldArray(const redisReply* element) {
  if (element == nullptr || element->type != kReplyArray) return std::nullopt;
  const auto items = elementsOf(*element);
  if (items.size() < 2) return std::nullopt;
  StreamFieldValues fields;
  for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
    const std::string_view field = items[i] ? replyText(*items[i]) : std::string_view{};
    const std::string_view value = items[i + 1] ? replyText(*items[i + 1]) : std::string_view{};
    fields[std::string(field)].emplace_back(value);
  }
  return fields;
}

}  // namespace ormanta::plugins::TulService
