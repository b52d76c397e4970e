// Reply bytes from a Redis server through hiredis' reader into the stream decoding, two ways:
// fed whole to a reader and decoded directly, and read by RedisConnection::xread from a socket
// that hands the bytes out in chunks of a size the input chooses. Both ways must give the same
// outcome for every reply (entries, nil, the error text, a corrupted reply), and nothing may
// end other than by the client's own exceptions.
//
// Failures are told apart by kind, so an error reply whose text is one of the client's own
// ("corrupted Redis reply received") stays an error reply.
//
// Input: one byte for the chunk size (low 7 bits; 0: all at once; the high bit is not used),
// then the reply bytes.

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
  check(fields.has_value() == (element->elements >= 2),
        "decodeFieldArray decodes every array of two or more");
  check(!fields || values == element->elements / 2, "decodeFieldArray keeps every complete pair");
  for (std::size_t i = 0; i < element->elements; ++i) decodeEveryArray(element->element[i], depth + 1);
}

std::vector<Outcome> decodeWhole(std::string_view bytes) {
  std::vector<Outcome> outcomes;
  const TulService::RedisReaderPtr reader = TulService::makeRedisReader();
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
      const std::string_view text =
          reply->str == nullptr ? std::string_view() : std::string_view(reply->str, reply->len);
      outcomes.emplace_back(ServerError{std::string(text.substr(0, text.find('\0')))});
    } else {
      outcomes.emplace_back(TulService::decodeStreamReply(*reply, kStream));
    }
  }
}

std::vector<Outcome> readThroughConnection(std::string_view bytes, std::size_t chunk) {
  std::vector<Outcome> outcomes;
  RecordingConnection connection;
  connection.server.answerRequests = false;
  connection.server.chunk = chunk;
  connection.server.script(bytes);
  for (;;) {
    try {
      std::optional<std::vector<StreamEntry>> entries = connection.xread(kStream, "0-0", 100, 1000);
      outcomes.emplace_back(entries ? Outcome(std::move(*entries)) : Outcome(Nil{}));
    } catch (const TulService::RedisError& error) {
      switch (error.kind()) {
        case TulService::RedisError::Kind::kClosed:
          check(error.code() == std::errc::connection_reset, "only the end of the bytes ends the replies",
                error.what());
          check(connection.server.unread() == 0, "the connection reads every byte before it sees the close");
          return outcomes;
        case TulService::RedisError::Kind::kProtocol:
          outcomes.emplace_back(Corrupted{});
          return outcomes;
        case TulService::RedisError::Kind::kReply:
          outcomes.emplace_back(ServerError{error.what()});
          break;
        default:
          check(false, "xread fails only by a close, a corrupted reply or an error reply", error.what());
          return outcomes;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  const std::uint8_t chunkByte = input.byte();
  const std::size_t chunk =
      (chunkByte & 0x7F) == 0 ? std::numeric_limits<std::size_t>::max() : chunkByte & 0x7F;
  const std::vector<Outcome> whole = decodeWhole(input.rest());
  const std::vector<Outcome> read = readThroughConnection(input.rest(), chunk);
  check(whole == read, "xread over a socket decodes as the reader does on the whole bytes");
  return 0;
}
