// Reply bytes from a Redis server through hiredis' reader into the stream decoding, two ways:
// fed whole to a reader and decoded directly, and read by RedisConnection::xread from a socket
// that hands the bytes out in chunks of a size the input chooses. Both ways must give the same
// outcome for every reply (entries, nil, the error text, a corrupted reply), and nothing may
// end other than by the client's own exceptions.
//
// Input: one byte for the chunk size (low 7 bits; 0: all at once) and the wait (high bit set:
// XREAD with a block time, so a bounded wait; else none, so the unbounded wait), then the
// reply bytes.

#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "FuzzSupport.h"
#include "redis/StreamDecoding.h"

namespace {

using namespace tul::fuzz;
using TulService::StreamEntry;

constexpr std::string_view kStream = "S.Commands";
constexpr std::string_view kCorrupted = "corrupted Redis reply received";
constexpr std::string_view kTimeout = "timeout exceeded while waiting for a Redis reply";

struct Nil {
  bool operator==(const Nil&) const = default;
};
struct ServerError {
  std::string text;
  bool operator==(const ServerError&) const = default;
};
struct Corrupted {
  bool operator==(const Corrupted&) const = default;
};
// What one reply means to xread; Corrupted ends the stream of replies.
using Outcome = std::variant<std::vector<StreamEntry>, Nil, ServerError, Corrupted>;

// decodeFieldArray on every array of the reply: whatever the shape, pairs become values.
void decodeEveryArray(const redisReply* element, int depth) {
  if (element == nullptr || depth > 8 || element->type != TulService::kReplyArray) return;
  const std::optional<TulService::StreamFieldValues> fields = TulService::decodeFieldArray(element);
  std::size_t values = 0;
  if (fields) {
    for (const auto& [name, list] : *fields) values += list.size();
  }
  check(fields.has_value() == (element->elements >= 2), "decodeFieldArray decodes every array of two or more");
  check(!fields || values == element->elements / 2, "decodeFieldArray keeps every complete pair");
  for (std::size_t i = 0; i < element->elements; ++i) decodeEveryArray(element->element[i], depth + 1);
}

std::vector<Outcome> decodeWhole(std::string_view bytes, bool bounded) {
  std::vector<Outcome> outcomes;
  const std::unique_ptr<redisReader, decltype(&redisReaderFree)> reader(redisReaderCreate(), &redisReaderFree);
  redisReaderFeed(reader.get(), bytes.data(), bytes.size());
  for (;;) {
    void* raw = nullptr;
    const int status = redisReaderGetReply(reader.get(), &raw);
    const TulService::RedisReplyPtr reply(static_cast<redisReply*>(raw));
    if (status != REDIS_OK) {
      outcomes.emplace_back(Corrupted{});
      return outcomes;
    }
    if (!reply) return outcomes;
    decodeEveryArray(reply.get(), 0);
    if (reply->type == TulService::kReplyNil) {
      outcomes.emplace_back(Nil{});
    } else if (reply->type == TulService::kReplyError) {
      // xread throws the text, and an exception's text ends at its first zero byte.
      const std::string_view text = reply->str == nullptr ? std::string_view() : std::string_view(reply->str, reply->len);
      ServerError error{std::string(text.substr(0, text.find('\0')))};
      // An error reply with the client's own texts cannot be told from a corrupted reply or
      // (with a bounded wait) from the end of the bytes.
      if (error.text == kCorrupted) {
        outcomes.emplace_back(Corrupted{});
        return outcomes;
      }
      if (bounded && error.text == kTimeout) return outcomes;
      outcomes.emplace_back(std::move(error));
    } else {
      outcomes.emplace_back(TulService::decodeStreamReply(*reply, kStream));
    }
  }
}

std::vector<Outcome> readThroughConnection(std::string_view bytes, std::size_t chunk,
                                           std::optional<std::int64_t> blockMs) {
  std::vector<Outcome> outcomes;
  RecordingConnection connection;
  connection.answerRequests = false;
  connection.chunk = chunk;
  connection.script(bytes);
  for (;;) {
    try {
      std::optional<std::vector<StreamEntry>> entries = connection.xread(kStream, "0-0", blockMs);
      outcomes.emplace_back(entries ? Outcome(std::move(*entries)) : Outcome(Nil{}));
    } catch (const std::system_error& closed) {
      check(closed.code() == std::errc::connection_reset, "only the end of the bytes ends the replies", closed.what());
      check(connection.unread() == 0, "the connection reads every byte before it sees the close");
      return outcomes;
    } catch (const std::runtime_error& error) {
      if (error.what() == kCorrupted) {
        outcomes.emplace_back(Corrupted{});
        return outcomes;
      }
      // The bounded wait ends at the end of the bytes, as the socket reports no more data.
      if (blockMs && error.what() == kTimeout) return outcomes;
      outcomes.emplace_back(ServerError{error.what()});
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  const std::uint8_t chunkByte = input.byte();
  const std::size_t chunk = (chunkByte & 0x7F) == 0 ? std::numeric_limits<std::size_t>::max() : chunkByte & 0x7F;
  const std::optional<std::int64_t> blockMs = (chunkByte & 0x80) != 0 ? std::optional<std::int64_t>(100) : std::nullopt;
  const std::vector<Outcome> whole = decodeWhole(input.rest(), blockMs.has_value());
  const std::vector<Outcome> read = readThroughConnection(input.rest(), chunk, blockMs);
  check(whole == read, "xread over a socket decodes as the reader does on the whole bytes");
  return 0;
}
