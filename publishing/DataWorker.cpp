#include "publishing/DataWorker.h"

#include <algorithm>
#include <chrono>

#include "ormanta/utils/eh/CurrentErrorCode.h"
#include "plugin/Service.h"
#include "plugin/StatePublishing.h"
#include "publishing/ServiceStatus.h"
#include "publishing/ValuePublisher.h"
#include "redis/RedisConnection.h"

namespace ormanta::plugins::TulService {
namespace {

// How often an idle data connection looks at its socket, so that a server that went away shows
// within this, not at the next status refresh (up to 3 s later). While the command connection
// is up it tells the data worker at once when the server closes it (DataConnectionHandler::
// probe), and a slower watch only catches a close of the data connection alone: each wake-up of
// a timed semaphore wait costs some 100 µs of CPU here.
constexpr auto kWatchEvery = std::chrono::milliseconds(50);
constexpr auto kWatchEveryWhileCommandsUp = std::chrono::milliseconds(1000);

// Marks the worker's connection as holding the status key for the handler's stop, and
// tells the stop once the key has been withdrawn (or never will be).
class StatusKeyGuard {
 public:
  explicit StatusKeyGuard(DataConnectionHandler& handler) noexcept : handler_(handler) {
    handler_.statusKeyLive.store(true);
  }
  ~StatusKeyGuard() { handler_.statusKeyLive.store(false); }
  StatusKeyGuard(const StatusKeyGuard&) = delete;
  StatusKeyGuard& operator=(const StatusKeyGuard&) = delete;

 private:
  DataConnectionHandler& handler_;
};

// Serves one connection until stop; any failure leaves by exception (and leaves the status
// key to expire, as a crash would).
void serveConnection(DataConnectionHandler& handler, const std::stop_token& stop) {
  Service& service = *handler.owner;
  // Taken before the connect: a failover announced while it runs ends this connection at once,
  // as the sentinels may have named the old primary.
  (void)handler.takeFailOver();
  const std::unique_ptr<RedisAccess> owned = service.locator().connectPrimary(
      *handler.stopSource, std::chrono::seconds(RedisConnection::kConnectTimeoutSeconds));
  RedisAccess& connection = *owned;
  // Numbered before the registration worker is woken, so that its run counts for this one.
  const std::uint64_t connectionNumber = service.registrationStamps().beginConnection();
  ServiceStatus status(connection, service.serviceName(), utils::chrono::now());
  // The run this connection starts replaces any failed one: a reconnect task that sees the
  // connection up must not start another.
  service.registrationHandler()->runFailed.store(false);
  publishConnected(handler);
  // Written before the registration begins: a peer that finds the service record finds the key.
  status.write(std::nullopt);
  const StatusKeyGuard live(handler);
  std::uint64_t completionsSeen = 0;
  // Every new data connection is followed by a new registration and the command connection.
  service.registrationHandler()->wakeup.notify_all();
  service.requestCommandConnection();

  ValuePublisher publisher(connection, service);
  Channels& channels = service.channels();
  using Clock = std::chrono::steady_clock;
  bool waitingChannels = false;
  Clock::time_point passDue = Clock::time_point::max();  // when a waiting channel falls due
  while (!stop.stop_requested()) {
    // A relative wait: libstdc++'s try_acquire_until polls with sleeps of half the time waited so
    // far, which cost a change up to milliseconds before it was seen (99th percentile 4.9 ms
    // against 0.5 ms).
    const std::chrono::milliseconds watch =
        service.commandHandler()->connected.load() ? kWatchEveryWhileCommandsUp : kWatchEvery;
    const std::chrono::milliseconds untilPass =
        passDue == Clock::time_point::max()
            ? watch
            : std::chrono::ceil<std::chrono::milliseconds>(passDue - Clock::now());
    const bool signalled = channels.waitForSignal(
        std::min({untilPass, std::chrono::milliseconds(status.msUntilRefresh(handler.maxWaitMs)), watch}));
    if (stop.stop_requested()) break;
    // One pass serves every release made so far: a burst of releases costs one pass. A wait that
    // timed out has nothing to drain: the socket watch's wake-ups stay cheap.
    if (signalled) channels.drainSignal();
    // Nothing more goes to a server that is no longer the primary.
    if (std::optional<std::string> why = handler.takeFailOver())
      throw RedisError(RedisError::Kind::kNotPrimary, *why);
    // A server that died shows at once, not at the next refresh: at every wake-up the idle
    // socket is looked at, and a command connection closed by the server asks for a round trip.
    if (handler.probeRequested.exchange(false)) {
      connection.ping();
    } else {
      connection.checkIdle();
    }
    // The refresh keeps the connection alive too: an idle round sends it instead of a PING,
    // a busy one sends it with its pass. A completed registration is shown at once.
    const std::uint64_t completions = service.registrationStamps().completions();
    if (completions != completionsSeen || status.msUntilRefresh(handler.maxWaitMs) == 0) {
      completionsSeen = completions;
      status.write(service.registrationStamps().completedFor(connectionNumber));
    }
    if (!signalled && !(waitingChannels && Clock::now() >= passDue)) continue;
    const PublishResult result = publisher.publishPass(handler.maxWaitMs);
    waitingChannels = result.waitingChannels;
    passDue =
        waitingChannels ? Clock::now() + std::chrono::milliseconds(result.waitMs) : Clock::time_point::max();
  }
  // A clean stop shows at once; the handler's stop waits for this before it aborts the socket.
  status.withdraw();
  handler.statusWithdrawn.release();
}

}  // namespace

void runDataWorker(DataConnectionHandler& handler, std::stop_token stop,
                   utils::lockFree::ConditionVariable::Tracker tracker) {
  for (;;) {
    while (!stop.stop_requested() && handler.phase.load() != kPhaseConnectRequested)
      handler.wakeup.wait(tracker);
    if (stop.stop_requested()) break;
    try {
      serveConnection(handler, stop);
    } catch (...) {
      // The next connect finds the server anew (with sentinels: asks them).
      handler.owner->locator().forgetCurrent();
      // No reconnect of its own: the reconnect task asks for the next attempt.
      publishDisconnected(handler, utils::eh::currentErrorCode());
    }
  }
  publishDisconnected(handler, connectionError(ConnectionErrorCategory::kNotEstablished));
}

}  // namespace ormanta::plugins::TulService
