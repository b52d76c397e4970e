#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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
struct CommandChannel {
  CommandChannel(RedisConnection& connection, std::string serviceName);

  RedisConnection& connection;
  std::string serviceName;
  std::string valueStreamPrefix;  // "<S>Value"
  std::string commandStreamKey;   // "<S>.Commands"
  std::string lastId;             // the last command stream entry looked at
};

// Response entries on the command stream (trimmed to about 100 entries). They throw what
// the Redis client throws, which ends the connection.
void sendErrorResponse(CommandChannel& channel, std::string_view commandId, std::string_view message);
void sendSuccessResponse(CommandChannel& channel, std::string_view commandId);

// The ID of the stream's newest entry, or "0-0" when the stream is empty or absent (so that
// reading after it gets every entry added from now on).
std::string lastStreamEntryId(RedisConnection& connection, std::string_view streamKey);

}  // namespace ormanta::plugins::TulService
