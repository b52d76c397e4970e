#include "commands/CommandProtocol.h"

#include <fmt/format.h>

#include <stdexcept>

namespace ormanta::plugins::TulService {
namespace {

constexpr std::uint64_t kCommandHistoryLength = 100;

void appendResponse(CommandChannel& channel, RedisFields fields) {
  channel.responses.push_back(RedisRecord{channel.commandStreamKey, std::move(fields)});
  if (channel.responses.size() >= CommandChannel::kResponseBatch) writeResponses(channel);
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

void queueCommands(CommandChannel& channel, std::vector<StreamEntry>&& entries) {
  for (StreamEntry& entry : entries) {
    auto cmd = entry.fields.find("cmd");
    if (cmd != entry.fields.end()) {
      const CommandType type = classifyCommand(cmd->second.front());
      channel.commands.push_back(Command{type, entry.id, std::move(entry.fields)});
    }
  }
  if (!entries.empty()) channel.lastId = std::move(entries.back().id);
}

void writeResponses(CommandChannel& channel) {
  if (channel.responses.empty()) return;
  StreamReadAndAppend outcome = channel.connection.xreadThenXadd(
      channel.commandStreamKey, channel.lastId.empty() ? "$" : channel.lastId, channel.responses,
      kCommandHistoryLength);
  if (channel.clears) channel.clears->noteRead();
  channel.responses.clear();
  queueCommands(channel, std::move(outcome.entries));
  channel.lastId = std::move(outcome.lastAddedId);
}

void sendErrorResponse(CommandChannel& channel, std::string_view commandId, std::string_view message) {
  appendResponse(
      channel,
      {{"responseId", std::string(commandId)}, {"result", "error"}, {"errorMessage", std::string(message)}});
}

void sendSuccessResponse(CommandChannel& channel, std::string_view commandId) {
  appendResponse(channel, {{"responseId", std::string(commandId)}, {"result", "success"}});
}

std::string lastStreamEntryId(RedisConnection& connection, std::string_view streamKey) {
  connection.sendCommand({"XREVRANGE", streamKey, "+", "-", "COUNT", "1"});
  RedisReplyPtr reply =
      connection.waitForReply(std::chrono::milliseconds(connection.replyTimeoutSeconds() * 1000));
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
