#include "commands/CommandWorker.h"

#include <algorithm>

#include "commands/SetCommand.h"
#include "commands/SubscribeCommand.h"
#include "ormanta/utils/chrono/TimePoint.h"
#include "ormanta/utils/eh/CurrentErrorCode.h"
#include "plugin/Service.h"
#include "plugin/StatePublishing.h"
#include "redis/RedisConnection.h"

namespace ormanta::plugins::TulService {
namespace {

std::int64_t nowTicks() noexcept { return utils::chrono::now().time_since_epoch().count(); }

void dispatch(CommandConnectionHandler& handler, CommandStream& stream, const Command& command) {
  // A set decides its own staleness, in the order of the sets answered with it.
  if (command.type == CommandType::kSet) return handleSets(handler, stream, command);
  if (command.type == CommandType::kCommand) return;
  if (std::optional<std::string> stale = staleRefusal(stream, command)) {
    return sendErrorResponse(stream, command.id, *stale);
  }
  if (command.type == CommandType::kSubscribe) return handleSubscribe(handler, stream, command);
  sendErrorResponse(stream, command.id, "unknown command type received");
}

// The data connection is up and its registration run has ended: a command connection made now
// cannot reach a server that the service has not (re)registered with.
bool mayConnect(Service& service) noexcept {
  return service.dataHandler()->phase.load() == kPhaseConnected && service.registrationStamps().settled();
}

// Where a new connection reads from. The position a failed connection reached is kept (every
// command after it runs once). "0-0" when a registration run cleared the stream after it: all
// the stream holds came after the clear and is unread. The stream's end where there is no
// position yet, or where the stream lost it otherwise (deleted or trimmed by someone else: what
// it holds may be older than anything that may run). Returns where the responses of a failed
// transaction, if any, would be.
std::string takeStartPosition(CommandStream& stream, RedisAccess& connection,
                              const CommandStreamWatch& clears) {
  const std::string reached = stream.lastId;
  const bool lost =
      reached != "0-0" &&
      (reached.empty() || connection.xrevrange(stream.commandStreamKey, reached, reached, 1).empty());
  if (lost && !reached.empty() && clears.lastDone() > stream.clearsAtLastId) {
    stream.moveTo("0-0");
  } else if (lost) {
    stream.moveTo(lastStreamEntryId(connection, stream.commandStreamKey));
  }
  // Checked only now: a clear answered after the position was taken may have come before it.
  if (clears.readFromStart()) stream.moveTo("0-0");
  return reached.empty() || clears.readFromStart() ? stream.lastId : reached;
}

// Serves one connection until stop; any failure leaves by exception, and what the
// CommandStream holds is kept for the next. backoff is reset once the connection has read from the stream.
void serveConnection(CommandConnectionHandler& handler, const std::stop_token& stop,
                     ReconnectBackoff& backoff, CommandStream& stream, const CommandStreamWatch& clears) {
  Service& service = *handler.owner;
  const std::unique_ptr<RedisAccess> owned = service.locator().connectCurrent(
      *handler.stopSource, std::chrono::seconds(RedisConnection::kConnectTimeoutSeconds));
  RedisAccess& connection = *owned;
  stream.attach(connection);
  struct Detach {
    CommandStream& stream;
    ~Detach() { stream.detach(); }
  } detach{stream};
  // Before the connection counts as up, so that a command stream that cannot be read does not
  // make the service flap between up and down: what is owed goes out first.
  const std::string owedFrom = takeStartPosition(stream, connection, clears);
  settleOwed(stream, owedFrom);
  publishConnected(handler);
  while (!stop.stop_requested()) {
    const std::int64_t timeoutMs = service.subscriptionTable().purgeExpired(handler.maxWaitMs);
    std::optional<Command> command = readCommand(stream, stop, timeoutMs);
    backoff.succeeded();
    if (!command) {
      connection.ping();
      continue;
    }
    dispatch(handler, stream, *command);
  }
}

// Waits out the back-off; a connection request (the reconnect task) or stop ends it at once.
void waitBeforeRetry(CommandConnectionHandler& handler, const ReconnectBackoff& backoff) {
  const std::chrono::milliseconds delay = backoff.delay();
  if (delay.count() > 0) handler.retryNow.try_acquire_for(delay);
}

}  // namespace

std::chrono::milliseconds ReconnectBackoff::delay() const noexcept {
  if (failures_ <= 1) return std::chrono::milliseconds(0);
  const int doublings = std::min(failures_ - 2, 6);  // 100 ms << 6 is past the longest delay
  return std::min(kFirstDelay * (1 << doublings), kLongestDelay);
}

std::optional<Command> readCommand(CommandStream& stream, const std::stop_token& stop,
                                   std::int64_t timeoutMs) {
  // Owed responses go out before the worker waits; their transaction also reads what came
  // meanwhile.
  if (stream.commands.empty()) writeResponses(stream);
  const std::int64_t deadline = nowTicks() + timeoutMs * utils::chrono::kTicksPerMillisecond;
  std::int64_t blockMs = timeoutMs;
  while (stream.commands.empty()) {
    // A block time of 0 would make the server wait without limit.
    if (stop.stop_requested() || blockMs < 1) return std::nullopt;
    std::optional<std::vector<StreamEntry>> entries =
        stream.redis().xread(stream.commandStreamKey, stream.lastId.empty() ? "$" : stream.lastId, blockMs,
                             CommandStream::kReadCount);
    if (stream.clears) stream.clears->noteRead();
    if (!entries) return std::nullopt;
    queueCommands(stream, std::move(*entries));
    if (!stream.commands.empty()) break;
    const std::int64_t now = nowTicks();
    if (now >= deadline) return std::nullopt;
    blockMs = (deadline - now) / utils::chrono::kTicksPerMillisecond;
  }
  Command command = std::move(stream.commands.front());
  stream.commands.pop_front();
  return command;
}

void runCommandWorker(CommandConnectionHandler& handler, std::stop_token stop,
                      utils::lockFree::ConditionVariable::Tracker tracker) {
  Service& service = *handler.owner;
  ReconnectBackoff backoff;
  CommandStreamWatch clears(service.commandStreamClears());
  // Outlives every connection: a failed one hands its position and what it owes to the next.
  CommandStream stream(service.serviceName(), service.commandLimits());
  stream.clears = &clears;
  for (;;) {
    while (!stop.stop_requested() && !mayConnect(service)) handler.wakeup.wait(tracker);
    if (stop.stop_requested()) break;
    waitBeforeRetry(handler, backoff);
    // Requests made before this attempt must not end the back-off after its failure.
    while (handler.retryNow.try_acquire()) {
    }
    // A stop requested by an earlier failure must not end the new connection's waits. After
    // the reset, the stop and the data connection are checked again: a stop or a data failure
    // that came between the wait and the reset would otherwise be lost.
    handler.stopSource->reset();
    if (stop.stop_requested()) break;
    if (!mayConnect(service)) {
      std::int32_t requested = kPhaseConnectRequested;
      handler.phase.compare_exchange_strong(requested, kPhaseIdle);
      continue;
    }
    try {
      serveConnection(handler, stop, backoff, stream, clears);
    } catch (const RedisError& error) {
      publishDisconnected(handler, utils::eh::currentErrorCode());
      // The server may be gone: the data connection, idle, would notice only later. A demoted
      // primary (UNBLOCKED ends the blocked read) takes every connection with it.
      if (error.kind() == RedisError::Kind::kClosed) service.dataHandler()->probe();
      service.reportFailure();
      backoff.failed();
    } catch (...) {
      publishDisconnected(handler, utils::eh::currentErrorCode());
      backoff.failed();
    }
  }
  publishDisconnected(handler, connectionError(ConnectionErrorCategory::kNotEstablished));
}

}  // namespace ormanta::plugins::TulService
