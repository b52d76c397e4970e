#include "commands/CommandWorker.h"

#include <algorithm>

#include "commands/SetCommand.h"
#include "commands/SubscribeCommand.h"
#include "ormanta/utils/chrono/TimePoint.h"
#include "ormanta/utils/eh/CurrentErrorCode.h"
#include "plugin/Service.h"
#include "plugin/StatePublishing.h"
#include "redis/RedisConnection.h"
#include "redis/RedisErrors.h"

namespace ormanta::plugins::TulService {
namespace {

constexpr std::uint64_t kConnectTimeoutSeconds = 3;

std::int64_t nowTicks() noexcept { return utils::chrono::now().time_since_epoch().count(); }

void dispatch(CommandConnectionHandler& handler, CommandChannel& channel, const Command& command) {
  // A set decides its own staleness, in the order of the sets answered with it.
  if (command.type == CommandType::kSet) return handleSets(handler, channel, command);
  if (command.type == CommandType::kCommand) return;
  if (std::optional<std::string> stale = staleRefusal(channel, command)) {
    return sendErrorResponse(channel, command.id, *stale);
  }
  if (command.type == CommandType::kSubscribe) return handleSubscribe(handler, channel, command);
  sendErrorResponse(channel, command.id, "unknown command type received");
}

// The data connection is up and its registration run has ended: a command connection made now
// cannot reach a server that the service has not (re)registered with.
bool mayConnect(const Service& service) noexcept {
  return service.dataHandler->phase.load() == kPhaseConnected && service.registrationStamps.settled();
}

// Where a new connection reads from. The position a failed connection reached is kept (every
// command after it runs once). "0-0" when a registration run cleared the stream after it: all
// the stream holds came after the clear and is unread. The stream's end where there is no
// position yet, or where the stream lost it otherwise (deleted or trimmed by someone else: what
// it holds may be older than anything that may run). Returns where the responses of a failed
// transaction, if any, would be.
std::string takeStartPosition(CommandChannel& channel, RedisConnection& connection,
                              const CommandStreamWatch& clears) {
  const std::string reached = channel.lastId;
  const bool lost =
      reached != "0-0" && (reached.empty() || connection.xrevrange(channel.commandStreamKey, reached, reached, 1).empty());
  if (lost && !reached.empty() && clears.lastDone() > channel.clearsAtLastId) {
    channel.moveTo("0-0");
  } else if (lost) {
    channel.moveTo(lastStreamEntryId(connection, channel.commandStreamKey));
  }
  // Checked only now: a clear answered after the position was taken may have come before it.
  if (clears.readFromStart()) channel.moveTo("0-0");
  return reached.empty() || clears.readFromStart() ? channel.lastId : reached;
}

// Serves one connection until stop; any failure leaves by exception, and what the channel
// holds is kept for the next. backoff is reset once the connection has read from the stream.
void serveConnection(CommandConnectionHandler& handler, const std::stop_token& stop,
                     ReconnectBackoff& backoff, CommandChannel& channel, const CommandStreamWatch& clears) {
  Service& service = *handler.owner;
  RedisConnection connection(service.address, service.security);
  connection.connect(*handler.stopSource, kConnectTimeoutSeconds);
  channel.attach(connection);
  struct Detach {
    CommandChannel& channel;
    ~Detach() { channel.detach(); }
  } detach{channel};
  // Before the connection counts as up, so that a command stream that cannot be read does not
  // make the service flap between up and down: what is owed goes out first.
  const std::string owedFrom = takeStartPosition(channel, connection, clears);
  settleOwed(channel, owedFrom);
  publishConnected(handler);
  while (!stop.stop_requested()) {
    const std::int64_t timeoutMs = service.subscriptionTable.purgeExpired(handler.maxWaitMs);
    std::optional<Command> command = readCommand(channel, stop, timeoutMs);
    backoff.succeeded();
    if (!command) {
      connection.ping();
      continue;
    }
    dispatch(handler, channel, *command);
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

std::optional<Command> readCommand(CommandChannel& channel, const std::stop_token& stop,
                                   std::int64_t timeoutMs) {
  // Owed responses go out before the worker waits; their transaction also reads what came
  // meanwhile.
  if (channel.commands.empty()) writeResponses(channel);
  const std::int64_t deadline = nowTicks() + timeoutMs * utils::chrono::kTicksPerMillisecond;
  std::int64_t blockMs = timeoutMs;
  while (channel.commands.empty()) {
    // A block time of 0 would make the server wait without limit.
    if (stop.stop_requested() || blockMs < 1) return std::nullopt;
    std::optional<std::vector<StreamEntry>> entries =
        channel.redis().xread(channel.commandStreamKey, channel.lastId.empty() ? "$" : channel.lastId,
                              blockMs, CommandChannel::kReadCount);
    if (channel.clears) channel.clears->noteRead();
    if (!entries) return std::nullopt;
    queueCommands(channel, std::move(*entries));
    if (!channel.commands.empty()) break;
    const std::int64_t now = nowTicks();
    if (now >= deadline) return std::nullopt;
    blockMs = (deadline - now) / utils::chrono::kTicksPerMillisecond;
  }
  Command command = std::move(channel.commands.front());
  channel.commands.pop_front();
  return command;
}

void publishConnected(CommandConnectionHandler& handler) { publishConnectionUp(handler); }

void publishDisconnected(CommandConnectionHandler& handler, std::error_code error) {
  publishConnectionDown(handler, error);
}

void runCommandWorker(CommandConnectionHandler& handler, std::stop_token stop,
                      utils::lockFree::ConditionVariable::Tracker tracker) {
  Service& service = *handler.owner;
  ReconnectBackoff backoff;
  CommandStreamWatch clears(service.commandStreamClears);
  // Outlives every connection: a failed one hands its position and what it owes to the next.
  CommandChannel channel(service.serviceName, service.commandLimits);
  channel.clears = &clears;
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
      serveConnection(handler, stop, backoff, channel, clears);
    } catch (...) {
      const bool closedByServer = isConnectionClosed(std::current_exception());
      publishDisconnected(handler, utils::eh::currentErrorCode());
      // The server may be gone: the data connection, idle, would notice only later.
      if (closedByServer) service.dataHandler->probe();
      backoff.failed();
    }
  }
  publishDisconnected(handler, connectionError(ConnectionErrorCategory::kNotEstablished));
}

}  // namespace ormanta::plugins::TulService
