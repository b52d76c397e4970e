#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands/CommandStreamClears.h"
#include "redis/RedisConnection.h"
#include "redis/RedisTypes.h"

namespace ormanta::plugins::TulService {

// What a command entry asks for, from the first value of its "cmd" field (exact text).
enum class CommandType : std::int32_t {
  kSet = 0,        // "set"
  kSubscribe = 1,  // "subscribe"
  kCommand = 2,    // "command": no action, no response
  kUnknown = 3,    // anything else: answered with an error
};

CommandType classifyCommand(std::string_view cmd) noexcept;

// One decoded command entry of the command stream.
struct Command {
  CommandType type = CommandType::kUnknown;
  std::string id;            // the entry's stream ID; the response's "responseId"
  StreamFieldValues fields;  // every field with all its values, in entry order
};

// The limits a service keeps on its command stream (configuration "commandMaxAgeMs" and
// "responseRetentionMs"). Fixed before the command worker starts.
struct CommandLimits {
  static constexpr std::int64_t kDefaultMaxAgeMs = 10'000;
  static constexpr std::int64_t kDefaultResponseRetentionMs = 10'000;

  // A command that has waited longer than this when the worker reaches it is refused, not run.
  std::int64_t maxAgeMs = kDefaultMaxAgeMs;
  // No entry younger than this is trimmed from the command stream.
  std::int64_t responseRetentionMs = kDefaultResponseRetentionMs;
};

// The newest entry IDs seen on the command stream: the trim keeps at least these.
class RecentIds {
 public:
  static constexpr std::size_t kKept = 100;

  void note(std::string_view id) noexcept;
  // The oldest of the kKept newest IDs seen; 0-0 while fewer have been seen.
  StreamId oldestKept() const noexcept;

 private:
  std::array<StreamId, kKept> ids_{};
  std::size_t next_ = 0;
  std::size_t count_ = 0;
};

// Set commands whose values are written but whose echoes are not known to be appended: each
// response waits for its echoes' replies, since a refused echo is the response's text.
struct PendingEchoes {
  struct Entry {
    std::string commandId;
    std::optional<std::string> refusal;  // the response's text, whatever its echoes do
    std::size_t firstEcho = 0;           // its echoes: echoes[firstEcho, firstEcho + echoCount)
    std::size_t echoCount = 0;
  };

  bool empty() const noexcept { return commands.empty(); }

  std::vector<Entry> commands;  // in stream order
  std::vector<RedisRecord> echoes;
};

// The service's side of its command stream "<S>.Commands": where the command worker has read
// it to, the commands read and not yet handled, and what it still owes for commands already run
// (echoes, responses). It outlives each connection, so that a broken connection loses nothing:
// the next one writes what is owed and reads on from lastId. Command worker thread only.
//
// No command is trimmed away unread and no response before its retention time: responses are
// appended with a MINID trim (Redis 6.2 and later) that spares every entry younger than
// limits.responseRetentionMs and the newest RecentIds::kKept entries seen, which lie at or
// before lastId; older servers get MAXLEN ~ 100 in a transaction that first reads the stream
// from lastId without COUNT, so that the trim can only remove entries that were read.
struct CommandStream {
  // Responses that wait at most for one transaction: pending responses go out when this many
  // are owed or before the worker waits for more commands.
  static constexpr std::size_t kResponseBatch = 32;
  // Entries one read of the stream takes at most.
  static constexpr std::uint64_t kReadCount = 1000;
  // "MAXLEN ~" of a server without MINID.
  static constexpr std::uint64_t kCommandHistoryLength = 100;

  explicit CommandStream(std::string serviceName, CommandLimits limits = {});
  // Attached to connection at once (with the local clock standing in for the server's).
  CommandStream(RedisAccess& connection, std::string serviceName, CommandLimits limits = {});

  // A new connection: reads the server's clock (TIME). Throws what the connection throws.
  void attach(RedisAccess& newConnection);
  void detach() noexcept { connection = nullptr; }
  RedisAccess& redis() const;  // throws std::logic_error between connections

  // The server's clock now, in ms since 1970, as measured at attach().
  std::int64_t serverNowMs() const noexcept;
  // The trim of the next response transaction.
  StreamTrim responseTrim() const;
  // Entries read or appended, in stream order.
  void noteSeen(std::string_view id) noexcept { seen.note(id); }
  void moveTo(std::string id) noexcept {
    lastId = std::move(id);
    clearsAtLastId = clears ? clears->begun() : 0;
  }

  RedisAccess* connection = nullptr;  // the current connection; null between connections
  std::string serviceName;
  std::string valueStreamPrefix;  // "<S>Value"
  std::string commandStreamKey;   // "<S>.Commands"
  CommandLimits limits;
  // Every entry up to lastId has been read: its command, if it is one, is in `commands` or has
  // been handled. Empty: nothing read yet. Set through moveTo().
  std::string lastId;
  // Clears of the stream begun when lastId was set (registration runs, CommandStreamClears): a
  // later one that is done deleted the stream after lastId.
  std::uint64_t clearsAtLastId = 0;
  std::deque<Command> commands;        // read, not handled yet; stream order
  std::vector<RedisRecord> responses;  // owed, in the order of their commands
  // The first responsesInDoubt of `responses` went out in a transaction whose outcome is not
  // known (the connection failed before its reply): the next connection looks for them first.
  std::size_t responsesInDoubt = 0;
  PendingEchoes echoes;
  RecentIds seen;
  bool trimByMinId = true;               // false once the server refused MINID
  CommandStreamWatch* clears = nullptr;  // the worker's; null where no registration runs

 private:
  std::int64_t serverMsAtAttach_ = 0;
  std::chrono::steady_clock::time_point attachedAt_{};
  bool serverClock_ = false;  // false until attach(): the local clock stands in
};

// Queues the command entries among entries (stream order) and moves lastId to the last entry.
// Entries without "cmd" (the responses among them) are passed over.
void queueCommands(CommandStream& stream, std::vector<StreamEntry>&& entries);

// Writes the owed responses: one transaction that reads the stream from lastId into
// `commands`, then appends the responses. Throws what the Redis client throws; the responses
// then stay owed (in doubt).
void writeResponses(CommandStream& stream);

// Response entries on the command stream. They are queued and written by writeResponses, at
// the latest when kResponseBatch are owed (then they throw what it throws); the command worker
// writes the rest before it waits for more commands.
void sendErrorResponse(CommandStream& stream, std::string_view commandId, std::string_view message);
void sendSuccessResponse(CommandStream& stream, std::string_view commandId);

// Appends the pending echoes (pipelined, every reply read), then queues each command's
// response. If the connection fails meanwhile they stay pending, for the next connection to
// append again (an echo may then appear twice).
void completeEchoes(CommandStream& stream);

// The refusal text for a command that waited longer than limits.maxAgeMs, else nothing.
std::optional<std::string> staleRefusal(const CommandStream& stream, const Command& command);

// On a new connection, before anything else: takes the responses in doubt that the stream
// already holds off the owed ones (searching from `from`), appends the pending echoes and
// writes the owed responses.
void settleOwed(CommandStream& stream, std::string_view from);

// The ID of the stream's newest entry, or "0-0" when the stream is empty or absent (so that
// reading after it gets every entry added from now on).
std::string lastStreamEntryId(RedisAccess& connection, std::string_view streamKey);

}  // namespace ormanta::plugins::TulService
