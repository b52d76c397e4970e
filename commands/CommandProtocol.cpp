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

void appendResponse(CommandStream& stream, RedisFields fields) {
  stream.responses.push_back(RedisRecord{stream.commandStreamKey, std::move(fields)});
  if (stream.responses.size() >= CommandStream::kResponseBatch) writeResponses(stream);
}

RedisFields errorFields(std::string_view commandId, std::string_view message) {
  return {
      {"responseId", std::string(commandId)}, {"result", "error"}, {"errorMessage", std::string(message)}};
}

RedisFields successFields(std::string_view commandId) {
  return {{"responseId", std::string(commandId)}, {"result", "success"}};
}

// What a server before 6.2 answers "XADD key MINID ...": "ERR syntax error" (6.0 and 6.1 read
// MINID as the ID: "ERR Invalid stream ID specified as stream command argument").
bool refusesMinId(const RedisError& error) noexcept {
  if (error.reply() != RedisError::Reply::kErr || error.arguments().empty()) return false;
  const std::string& first = error.arguments().front();
  return first == "syntax" || first == "Invalid";
}

const std::string* responseIdOf(const RedisRecord& response) {
  const auto found = response.fields.find("responseId");
  return found == response.fields.end() ? nullptr : &found->second;
}

// Takes the first `inDoubt` owed responses that the stream already holds (from `from` on) off
// the owed ones: the transaction that carried them ran before its connection failed.
void dropResponsesAlreadyWritten(CommandStream& stream, std::string_view from) {
  std::unordered_set<std::string> inDoubt;
  for (std::size_t i = 0; i < stream.responsesInDoubt; ++i) {
    if (const std::string* id = responseIdOf(stream.responses[i])) inDoubt.insert(*id);
  }
  std::unordered_set<std::string> written;
  // Newest first, page by page, down to from (XREVRANGE, which the service needs anyway).
  std::string end = "+";
  for (;;) {
    const std::vector<StreamEntry> entries =
        stream.redis().xrevrange(stream.commandStreamKey, end, from, CommandStream::kReadCount);
    for (const StreamEntry& entry : entries) {
      const auto id = entry.fields.find("responseId");
      if (id != entry.fields.end() && !entry.fields.contains("cmd") && inDoubt.contains(id->second.front())) {
        written.insert(id->second.front());
      }
    }
    // A range includes its ends: a page that only repeats its end is the last.
    if (entries.size() < CommandStream::kReadCount || entries.back().id == end) break;
    end = entries.back().id;
  }
  const auto doubtful = stream.responses.begin() + static_cast<std::ptrdiff_t>(stream.responsesInDoubt);
  const auto kept = std::remove_if(stream.responses.begin(), doubtful, [&](const RedisRecord& response) {
    const std::string* id = responseIdOf(response);
    return id != nullptr && written.contains(*id);
  });
  stream.responses.erase(kept, doubtful);
  stream.responsesInDoubt = 0;
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

CommandStream::CommandStream(std::string name, CommandLimits commandLimits)
    : serviceName(std::move(name)),
      valueStreamPrefix(TulService::valueStreamPrefix(serviceName)),
      commandStreamKey(serviceName + ".Commands"),
      limits(commandLimits) {}

CommandStream::CommandStream(RedisAccess& connection, std::string name, CommandLimits commandLimits)
    : CommandStream(std::move(name), commandLimits) {
  this->connection = &connection;
}

void CommandStream::attach(RedisAccess& newConnection) {
  connection = &newConnection;
  // Entry IDs count the server's milliseconds: ages are measured on its clock, not this one.
  serverMsAtAttach_ = newConnection.serverTimeMs(commandStreamKey);
  attachedAt_ = std::chrono::steady_clock::now();
  serverClock_ = true;
}

RedisAccess& CommandStream::redis() const {
  if (connection == nullptr) throw std::logic_error("the command stream has no connection");
  return *connection;
}

std::int64_t CommandStream::serverNowMs() const noexcept {
  if (!serverClock_) return systemNowMs();
  const auto elapsed = std::chrono::steady_clock::now() - attachedAt_;
  return serverMsAtAttach_ + std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

StreamTrim CommandStream::responseTrim() const {
  if (!trimByMinId) return StreamTrim::maxLength(kCommandHistoryLength);
  const std::int64_t byAge = serverNowMs() - limits.responseRetentionMs;
  const StreamId spareYounger{byAge > 0 ? static_cast<std::uint64_t>(byAge) : 0, 0};
  return StreamTrim::minId(std::min(spareYounger, seen.oldestKept()).text());
}

void queueCommands(CommandStream& stream, std::vector<StreamEntry>&& entries) {
  for (StreamEntry& entry : entries) {
    stream.noteSeen(entry.id);
    auto cmd = entry.fields.find("cmd");
    if (cmd != entry.fields.end()) {
      const CommandType type = classifyCommand(cmd->second.front());
      stream.commands.push_back(Command{type, entry.id, std::move(entry.fields)});
    }
  }
  if (!entries.empty()) stream.moveTo(std::move(entries.back().id));
}

void writeResponses(CommandStream& stream) {
  if (stream.responses.empty()) return;
  RedisAccess& redis = stream.redis();
  const std::string from = stream.lastId.empty() ? "$" : stream.lastId;
  stream.responsesInDoubt = stream.responses.size();
  StreamReadAndAppend outcome;
  bool readWhole = false;
  for (;;) {
    // With MINID every entry after lastId survives the trim, so the read may stop at a COUNT.
    readWhole = !stream.trimByMinId;
    try {
      outcome = redis.xreadThenXadd(stream.commandStreamKey, from, stream.responses, stream.responseTrim(),
                                    readWhole ? 0 : CommandStream::kReadCount);
      break;
    } catch (const RedisError& refused) {
      // Every XADD of the transaction failed alike, so nothing was appended.
      if (!stream.trimByMinId || !refusesMinId(refused)) throw;
      stream.trimByMinId = false;
    }
  }
  stream.responses.clear();
  stream.responsesInDoubt = 0;
  readWhole = readWhole || outcome.entries.size() < CommandStream::kReadCount;
  queueCommands(stream, std::move(outcome.entries));
  for (const std::string& id : outcome.addedIds) stream.noteSeen(id);
  // Nothing can come between a whole read and the appends: lastId moves past the responses.
  if (readWhole && !outcome.addedIds.empty()) stream.moveTo(outcome.addedIds.back());
}

void sendErrorResponse(CommandStream& stream, std::string_view commandId, std::string_view message) {
  appendResponse(stream, errorFields(commandId, message));
}

void sendSuccessResponse(CommandStream& stream, std::string_view commandId) {
  appendResponse(stream, successFields(commandId));
}

void completeEchoes(CommandStream& stream) {
  PendingEchoes& pending = stream.echoes;
  if (pending.empty()) return;
  // Every reply is read, so a refused echo leaves the connection in step.
  const std::vector<std::optional<std::string>> outcomes =
      pending.echoes.empty() ? std::vector<std::optional<std::string>>()
                             : stream.redis().xaddEach(pending.echoes, kValueHistoryLength);
  for (const PendingEchoes::Entry& entry : pending.commands) {
    // Its own refusal, else its first refused echo.
    std::optional<std::string> refusal = entry.refusal;
    for (std::size_t i = entry.firstEcho; !refusal && i < entry.firstEcho + entry.echoCount; ++i) {
      refusal = outcomes[i];
    }
    stream.responses.push_back(
        RedisRecord{stream.commandStreamKey,
                    refusal ? errorFields(entry.commandId, *refusal) : successFields(entry.commandId)});
  }
  pending.commands.clear();
  pending.echoes.clear();
  if (stream.responses.size() >= CommandStream::kResponseBatch) writeResponses(stream);
}

std::optional<std::string> staleRefusal(const CommandStream& stream, const Command& command) {
  const std::optional<StreamId> id = StreamId::parse(command.id);
  // An ID from the future (a peer's own) is not stale.
  if (!id || id->ms > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    return std::nullopt;
  const std::int64_t ageMs = stream.serverNowMs() - static_cast<std::int64_t>(id->ms);
  if (ageMs <= stream.limits.maxAgeMs) return std::nullopt;
  return fmt::format("command refused: written {} ms ago, more than the {} ms a command may wait", ageMs,
                     stream.limits.maxAgeMs);
}

void settleOwed(CommandStream& stream, std::string_view from) {
  if (stream.responsesInDoubt > 0) dropResponsesAlreadyWritten(stream, from);
  completeEchoes(stream);
  writeResponses(stream);
}

std::string lastStreamEntryId(RedisAccess& connection, std::string_view streamKey) {
  RedisReplyPtr reply = connection.keyCommand({"XREVRANGE", streamKey, "+", "-", "COUNT", "1"});
  if (reply->type == kReplyError) throw RedisError::fromReply(std::string_view(reply->str, reply->len));
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
