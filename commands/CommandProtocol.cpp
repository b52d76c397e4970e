#include "commands/CommandProtocol.h"

#include <stdexcept>

#include <fmt/format.h>

namespace ormanta::plugins::TulService {
namespace {

constexpr std::uint64_t kCommandHistoryLength = 100;

void appendResponse(CommandChannel& channel, RedisFields fields) {
  std::vector<RedisRecord> records(1);
  records[0].key = channel.commandStreamKey;
  records[0].fields = std::move(fields);
  channel.connection.xadd(records, kCommandHistoryLength);
}

}  // namespace

CommandType classifyCommand(std::string_view cmd) noexcept {
  if (cmd == "set") return CommandType::kSet;
  if (cmd == "subscribe") return CommandType::kSubscribe;
  if (cmd == "command") return CommandType::kCommand;
  return CommandType::kUnknown;
}

CommandChannel::CommandChannel(RedisConnection& connection, std::string name)
    : connection(connection),
      serviceName(std::move(name)),
      valueStreamPrefix(fmt::format("{}Value", serviceName)),
      commandStreamKey(fmt::format("{}.Commands", serviceName)) {}

void sendErrorResponse(CommandChannel& channel, std::string_view commandId, std::string_view message) {
  appendResponse(channel, {{"responseId", std::string(commandId)},
                           {"result", "error"},
                           {"errorMessage", std::string(message)}});
}

void sendSuccessResponse(CommandChannel& channel, std::string_view commandId) {
  appendResponse(channel, {{"responseId", std::string(commandId)}, {"result", "success"}});
}

std::string lastStreamEntryId(RedisConnection& connection, std::string_view streamKey) {
  connection.sendCommand({"XREVRANGE", streamKey, "+", "-", "COUNT", "1"});
  RedisReplyPtr reply = connection.waitForReply(std::chrono::milliseconds(connection.replyTimeoutSeconds() * 1000));
  if (reply->type == kReplyError) throw std::runtime_error(std::string(reply->str, reply->len));
  // [[id, [field, value, ...]]], or an empty array for an empty or absent stream.
  if (reply->type == kReplyArray && reply->elements > 0) {
    const redisReply* entry = reply->element[0];
    if (entry->type == kReplyArray && entry->elements > 0 && entry->element[0]->type == kReplyString) {
      return std::string(entry->element[0]->str, entry->element[0]->len);
    }
  }
  return "0-0";
}

}  // namespace ormanta::plugins::TulService
