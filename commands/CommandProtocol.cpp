#include "commands/CommandProtocol.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <unordered_set>

#include "publishing/ValueStreams.h"

namespace ormanta::plugins::TulService {
namespace {

std::int64_t systemNowMs() noexcept {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void appendResponse(CommandChannel& channel, RedisFields fields) {
  channel.responses.push_back(RedisRecord{channel.commandStreamKey, std::move(fields)});
  if (channel.responses.size() >= CommandChannel::kResponseBatch) writeResponses(channel);
}

RedisFields errorFields(std::string_view commandId, std::string_view message) {
  return {
      {"responseId", std::string(commandId)}, {"result", "error"}, {"errorMessage", std::string(message)}};
}

RedisFields successFields(std::string_view commandId) {
  return {{"responseId", std::string(commandId)}, {"result", "success"}};
}

// What a server before 6.2 answers to "XADD key MINID ~ id * ...".
bool refusesMinId(std::string_view text) noexcept {
  return text.find("syntax error") != std::string_view::npos ||
         text.find("Invalid stream ID") != std::string_view::npos;
}

const std::string* responseIdOf(const RedisRecord& response) {
  const auto found = response.fields.find("responseId");
  return found == response.fields.end() ? nullptr : &found->second;
}

// Takes the first `inDoubt` owed responses that the stream already holds (from `from` on) off
// the owed ones: the transaction that carried them ran before its connection failed.
void dropResponsesAlreadyWritten(CommandChannel& channel, std::string_view from) {
  std::unordered_set<std::string> inDoubt;
  for (std::size_t i = 0; i < channel.responsesInDoubt; ++i) {
    if (const std::string* id = responseIdOf(channel.responses[i])) inDoubt.insert(*id);
  }
  std::unordered_set<std::string> written;
  // Newest first, page by page, down to from (XREVRANGE, which the service needs anyway).
  std::string end = "+";
  for (;;) {
    const std::vector<StreamEntry> entries =
        channel.redis().xrevrange(channel.commandStreamKey, end, from, CommandChannel::kReadCount);
    for (const StreamEntry& entry : entries) {
      const auto id = entry.fields.find("responseId");
      if (id != entry.fields.end() && !entry.fields.contains("cmd") && inDoubt.contains(id->second.front())) {
        written.insert(id->second.front());
      }
    }
    // A range includes its ends: a page that only repeats its end is the last.
    if (entries.size() < CommandChannel::kReadCount || entries.back().id == end) break;
    end = entries.back().id;
  }
  const auto doubtful = channel.responses.begin() + static_cast<std::ptrdiff_t>(channel.responsesInDoubt);
  const auto kept = std::remove_if(channel.responses.begin(), doubtful, [&](const RedisRecord& response) {
    const std::string* id = responseIdOf(response);
    return id != nullptr && written.contains(*id);
  });
  channel.responses.erase(kept, doubtful);
  channel.responsesInDoubt = 0;
}

}  // namespace

CommandType classifyCommand(std::string_view cmd) noexcept {
  if (cmd == "set") return CommandType::kSet;
  if (cmd == "subscribe") return CommandType::kSubscribe;
  if (cmd == "command") return CommandType::kCommand;
  return CommandType::kUnknown;
}

void RecentIds::note(std::string_view id) noexcept {
  const std::optional<StreamId> parsed = StreamId::parse(id);
  if (!parsed) return;
  ids_[next_] = *parsed;
  next_ = (next_ + 1) % kKept;
  count_ = std::min(count_ + 1, kKept);
}

StreamId RecentIds::oldestKept() const noexcept { return count_ < kKept ? StreamId{} : ids_[next_]; }

CommandChannel::CommandChannel(std::string name, CommandLimits commandLimits)
    : serviceName(std::move(name)),
      valueStreamPrefix(TulService::valueStreamPrefix(serviceName)),
      commandStreamKey(serviceName + ".Commands"),
      limits(commandLimits) {}

CommandChannel::CommandChannel(RedisConnection& connection, std::string name, CommandLimits commandLimits)
    : CommandChannel(std::move(name), commandLimits) {
  this->connection = &connection;
}

void CommandChannel::attach(RedisConnection& newConnection) {
  connection = &newConnection;
  // Entry IDs count the server's milliseconds: ages are measured on its clock, not this one.
  serverMsAtAttach_ = newConnection.serverTimeMs();
  attachedAt_ = std::chrono::steady_clock::now();
  serverClock_ = true;
}

RedisConnection& CommandChannel::redis() const {
  if (connection == nullptr) throw std::logic_error("the command channel has no connection");
  return *connection;
}

std::int64_t CommandChannel::serverNowMs() const noexcept {
  if (!serverClock_) return systemNowMs();
  const auto elapsed = std::chrono::steady_clock::now() - attachedAt_;
  return serverMsAtAttach_ + std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

StreamTrim CommandChannel::responseTrim() const {
  if (!trimByMinId) return StreamTrim::maxLength(kCommandHistoryLength);
  const std::int64_t byAge = serverNowMs() - limits.responseRetentionMs;
  const StreamId spareYounger{byAge > 0 ? static_cast<std::uint64_t>(byAge) : 0, 0};
  return StreamTrim::minId(std::min(spareYounger, seen.oldestKept()).text());
}

void queueCommands(CommandChannel& channel, std::vector<StreamEntry>&& entries) {
  for (StreamEntry& entry : entries) {
    channel.noteSeen(entry.id);
    auto cmd = entry.fields.find("cmd");
    if (cmd != entry.fields.end()) {
      const CommandType type = classifyCommand(cmd->second.front());
      channel.commands.push_back(Command{type, entry.id, std::move(entry.fields)});
    }
  }
  if (!entries.empty()) channel.moveTo(std::move(entries.back().id));
}

void writeResponses(CommandChannel& channel) {
  if (channel.responses.empty()) return;
  RedisConnection& redis = channel.redis();
  const std::string from = channel.lastId.empty() ? "$" : channel.lastId;
  channel.responsesInDoubt = channel.responses.size();
  StreamReadAndAppend outcome;
  bool readWhole = false;
  for (;;) {
    // With MINID every entry after lastId survives the trim, so the read may stop at a COUNT.
    readWhole = !channel.trimByMinId;
    try {
      outcome = redis.xreadThenXadd(channel.commandStreamKey, from, channel.responses, channel.responseTrim(),
                                    readWhole ? 0 : CommandChannel::kReadCount);
      break;
    } catch (const RedisErrorReply& refused) {
      // Nothing was appended: every XADD of the transaction failed alike.
      if (!channel.trimByMinId || !refusesMinId(refused.what())) throw;
      channel.trimByMinId = false;
    }
  }
  channel.responses.clear();
  channel.responsesInDoubt = 0;
  readWhole = readWhole || outcome.entries.size() < CommandChannel::kReadCount;
  queueCommands(channel, std::move(outcome.entries));
  for (const std::string& id : outcome.addedIds) channel.noteSeen(id);
  // Nothing can come between a whole read and the appends: lastId moves past the responses.
  if (readWhole && !outcome.addedIds.empty()) channel.moveTo(outcome.addedIds.back());
}

void sendErrorResponse(CommandChannel& channel, std::string_view commandId, std::string_view message) {
  appendResponse(channel, errorFields(commandId, message));
}

void sendSuccessResponse(CommandChannel& channel, std::string_view commandId) {
  appendResponse(channel, successFields(commandId));
}

void completeEchoes(CommandChannel& channel) {
  PendingEchoes& pending = channel.echoes;
  if (pending.empty()) return;
  // Every reply is read, so a refused echo leaves the connection in step.
  const std::vector<std::optional<std::string>> outcomes =
      pending.echoes.empty() ? std::vector<std::optional<std::string>>()
                             : channel.redis().xaddEach(pending.echoes, kValueHistoryLength);
  for (const PendingEchoes::Entry& entry : pending.commands) {
    // Its own refusal, else its first refused echo.
    std::optional<std::string> refusal = entry.refusal;
    for (std::size_t i = entry.firstEcho; !refusal && i < entry.firstEcho + entry.echoCount; ++i) {
      refusal = outcomes[i];
    }
    channel.responses.push_back(
        RedisRecord{channel.commandStreamKey,
                    refusal ? errorFields(entry.commandId, *refusal) : successFields(entry.commandId)});
  }
  pending.commands.clear();
  pending.echoes.clear();
  if (channel.responses.size() >= CommandChannel::kResponseBatch) writeResponses(channel);
}

std::optional<std::string> staleRefusal(const CommandChannel& channel, const Command& command) {
  const std::optional<StreamId> id = StreamId::parse(command.id);
  // An ID from the future (a peer's own) is not stale.
  if (!id || id->ms > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    return std::nullopt;
  const std::int64_t ageMs = channel.serverNowMs() - static_cast<std::int64_t>(id->ms);
  if (ageMs <= channel.limits.maxAgeMs) return std::nullopt;
  return fmt::format("command refused: written {} ms ago, more than the {} ms a command may wait", ageMs,
                     channel.limits.maxAgeMs);
}

void settleOwed(CommandChannel& channel, std::string_view from) {
  if (channel.responsesInDoubt > 0) dropResponsesAlreadyWritten(channel, from);
  completeEchoes(channel);
  writeResponses(channel);
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
