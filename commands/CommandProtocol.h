#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
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

// The command side of one command connection: where commands are read and answered. Made
// after each successful connect, dropped with the connection; command worker thread only.
//
// No command is trimmed away unread: every response is appended (with its MAXLEN ~ 100 trim)
// in a transaction that first reads the stream from lastId, so each entry an append may trim
// has been read into `commands` before. Responses are written in the order of their commands;
// several go out in one transaction (see sendSuccessResponse). Commands still in `commands`
// and responses still in `responses` are lost with the connection.
struct CommandChannel {
  // Responses written in one transaction at most: a peer that reads its response while the
  // stream grows by fewer than about 100 entries still finds it.
  static constexpr std::size_t kResponseBatch = 32;

  CommandChannel(RedisConnection& connection, std::string serviceName);

  RedisConnection& connection;
  std::string serviceName;
  std::string valueStreamPrefix;  // "<S>Value"
  std::string commandStreamKey;   // "<S>.Commands"
  // Every entry up to lastId has been read: its command, if it is one, is in `commands` or
  // has been handled. Empty: nothing read yet ("$" is read from).
  std::string lastId;
  std::deque<Command> commands;          // read, not handled yet; stream order
  std::vector<RedisRecord> responses;    // not written yet; in the order of their commands
  CommandStreamWatch* clears = nullptr;  // the worker's; null where no registration runs
};

// Queues the command entries among entries (stream order) and moves lastId to the last entry.
// Entries without "cmd" (the responses among them) are passed over.
void queueCommands(CommandChannel& channel, std::vector<StreamEntry>&& entries);

// Writes the pending responses: one transaction that reads the stream from lastId into
// `commands`, then appends the responses; lastId becomes the last response's ID (nothing can
// come between the read and the appends). Throws what the Redis client throws.
void writeResponses(CommandChannel& channel);

// Response entries on the command stream (trimmed to about 100 entries). They are queued and
// written by writeResponses, at the latest when kResponseBatch are pending (then they throw
// what it throws); the command worker writes the rest before it waits for more commands.
void sendErrorResponse(CommandChannel& channel, std::string_view commandId, std::string_view message);
void sendSuccessResponse(CommandChannel& channel, std::string_view commandId);

// The ID of the stream's newest entry, or "0-0" when the stream is empty or absent (so that
// reading after it gets every entry added from now on).
std::string lastStreamEntryId(RedisConnection& connection, std::string_view streamKey);

}  // namespace ormanta::plugins::TulService
