#include "publishing/DataWorker.h"

#include <chrono>

#include "ormanta/utils/eh/CurrentErrorCode.h"
#include "plugin/Service.h"
#include "plugin/StatePublishing.h"
#include "publishing/ValuePublisher.h"
#include "redis/RedisConnection.h"

namespace ormanta::plugins::TulService {
namespace {

constexpr std::uint64_t kConnectTimeoutSeconds = 3;

// Serves one connection until stop; any failure leaves by exception.
void serveConnection(DataConnectionHandler& handler, const std::stop_token& stop) {
  Service& service = *handler.owner;
  RedisConnection connection(service.address);
  connection.connect(*handler.stopSource, kConnectTimeoutSeconds);
  publishConnectionUp(handler);
  // Every new data connection is followed by a new registration and the command connection.
  service.registrationHandler->wakeup.notify_all();
  service.requestCommandConnection();

  ValuePublisher publisher(connection, service);
  auto waitMs = static_cast<std::uint64_t>(handler.maxWaitMs);
  bool waitingChannels = false;
  while (!stop.stop_requested()) {
    const bool signalled = service.sampleSignal.try_acquire_for(std::chrono::milliseconds(waitMs));
    if (stop.stop_requested()) break;
    if (!waitingChannels && !signalled) {
      connection.ping();  // nothing changed for a while: keep the connection alive
      continue;
    }
    const PublishResult result = publisher.publishPass(handler.maxWaitMs);
    waitingChannels = result.waitingChannels;
    waitMs = result.waitMs;
  }
}

}  // namespace

void runDataWorker(DataConnectionHandler& handler, std::stop_token stop,
                   utils::lockFree::ConditionVariable::Tracker tracker) {
  for (;;) {
    while (!stop.stop_requested() && handler.phase.load() != kPhaseConnectRequested) handler.wakeup.wait(tracker);
    if (stop.stop_requested()) break;
    try {
      serveConnection(handler, stop);
    } catch (...) {
      // No reconnect of its own: the reconnect task asks for the next attempt.
      publishConnectionDown(handler, utils::eh::currentErrorCode());
    }
  }
  publishConnectionDown(handler, connectionError(ConnectionErrorCategory::kNotEstablished));
}

}  // namespace ormanta::plugins::TulService
