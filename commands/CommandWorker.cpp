#include "commands/CommandWorker.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "commands/SetCommand.h"
#include "commands/SubscribeCommand.h"
#include "ormanta/utils/chrono/TimePoint.h"
#include "ormanta/utils/eh/CurrentErrorCode.h"
#include "plugin/Service.h"
#include "plugin/StatePublishing.h"
#include "redis/RedisConnection.h"

namespace ormanta::plugins::TulService {
namespace {

constexpr std::uint64_t kConnectTimeoutSeconds = 3;

std::int64_t nowTicks() noexcept { return utils::chrono::now().time_since_epoch().count(); }

void dispatch(CommandConnectionHandler& handler, CommandChannel& channel, const Command& command) {
  switch (command.type) {
    case CommandType::kSet:
      return handleSets(handler, channel, command);
    case CommandType::kSubscribe:
      return handleSubscribe(handler, channel, command);
    case CommandType::kUnknown:
      return sendErrorResponse(channel, command.id, "unknown command type received");
    case CommandType::kCommand:
      return;
  }
}

// Serves one connection until stop; any failure leaves by exception. backoff is reset once
// the connection has read from the command stream.
void serveConnection(CommandConnectionHandler& handler, const std::stop_token& stop,
                     ReconnectBackoff& backoff, CommandStreamWatch& clears) {
  Service& service = *handler.owner;
  RedisConnection connection(service.address, service.security);
  connection.connect(*handler.stopSource, kConnectTimeoutSeconds);
  CommandChannel channel(connection, service.serviceName);
  channel.clears = &clears;
  // Read after the stream's current end with an explicit ID, never "$": an entry added between
  // two reads must not be skipped. Taken before the connection counts as up, so that a command
  // stream that cannot be read does not make the service flap between up and down.
  channel.lastId = lastStreamEntryId(connection, channel.commandStreamKey);
  // Checked only now: a clear answered after the position was taken may have come before it.
  if (clears.readFromStart()) channel.lastId = "0-0";
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

// Waits out the back-off; ends at once on stop.
void waitBeforeRetry(const ReconnectBackoff& backoff, const std::stop_token& stop) {
  const std::chrono::milliseconds delay = backoff.delay();
  if (delay.count() == 0) return;
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  wake.wait_for(lock, stop, delay, [] { return false; });
}

}  // namespace

std::chrono::milliseconds ReconnectBackoff::delay() const noexcept {
  if (failures_ <= 1) return std::chrono::milliseconds(0);
  const int doublings = std::min(failures_ - 2, 6);  // 100 ms << 6 is past the longest delay
  return std::min(kFirstDelay * (1 << doublings), kLongestDelay);
}

std::optional<Command> readCommand(CommandChannel& channel, const std::stop_token& stop,
                                   std::int64_t timeoutMs) {
  // Pending responses go out before the worker waits; their transaction also reads what came
  // meanwhile.
  if (channel.commands.empty()) writeResponses(channel);
  const std::int64_t deadline = nowTicks() + timeoutMs * utils::chrono::kTicksPerMillisecond;
  std::int64_t blockMs = timeoutMs;
  while (channel.commands.empty()) {
    // A block time of 0 would make the server wait without limit.
    if (stop.stop_requested() || blockMs < 1) return std::nullopt;
    std::optional<std::vector<StreamEntry>> entries = channel.connection.xread(
        channel.commandStreamKey, channel.lastId.empty() ? "$" : channel.lastId, blockMs);
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
  for (;;) {
    while (!stop.stop_requested() && handler.phase.load() != kPhaseConnectRequested &&
           service.dataHandler->phase.load() != kPhaseConnected) {
      handler.wakeup.wait(tracker);
    }
    if (stop.stop_requested()) break;
    waitBeforeRetry(backoff, stop);
    // A stop requested by an earlier failure must not end the new connection's waits. After
    // the reset, the stop and the data connection are checked again: a stop or a data failure
    // that came between the wait and the reset would otherwise be lost.
    handler.stopSource->reset();
    if (stop.stop_requested()) break;
    if (service.dataHandler->phase.load() != kPhaseConnected) {
      std::int32_t requested = kPhaseConnectRequested;
      handler.phase.compare_exchange_strong(requested, kPhaseIdle);
      continue;
    }
    try {
      serveConnection(handler, stop, backoff, clears);
    } catch (...) {
      publishDisconnected(handler, utils::eh::currentErrorCode());
      backoff.failed();
    }
  }
  publishDisconnected(handler, connectionError(ConnectionErrorCategory::kNotEstablished));
}

}  // namespace ormanta::plugins::TulService
