#include "registration/RegistrationWorker.h"

#include <memory>
#include <utility>

#include "ormanta/utils/chrono/TimePoint.h"
#include "ormanta/utils/eh/CurrentErrorCode.h"
#include "plugin/Service.h"
#include "plugin/StatePublishing.h"
#include "redis/RedisConnection.h"
#include "registration/DataPointCatalogue.h"
#include "registration/RegistrationRun.h"

namespace ormanta::plugins::TulService {

namespace {

bool dataConnectionUp(const Service& service) noexcept {
  return service.dataHandler() && service.dataHandler()->phase.load() == kPhaseConnected;
}

}  // namespace

void runRegistration(Service& service, RedisAccess& connection, std::stop_token stop) {
  RegistrationRun run(connection, service.serviceName(), std::move(stop));
  runRegistration(service, run);
}

void runRegistration(Service& service, RegistrationRun& run) {
  // Told to the command worker before the service record is back, so that a command a peer
  // adds after it is read however late the command connection comes up.
  const std::uint64_t clear = service.commandStreamClears().begin();
  run.clearPreviousRegistration();
  service.commandStreamClears().done(clear);
  run.writeServiceRecord();
  run.writeEnumerationTypes();
  // Walked only now, so that the model is described as it is after the keys were cleared.
  run.describeModel(service);
  run.writeDataPoints(run.catalogue);
}

void runRegistrationWorker(RegistrationHandler& handler, std::stop_token stop,
                           utils::lockFree::ConditionVariable::Tracker tracker) {
  Service& service = *handler.owner;
  // The connection the last run succeeded for, and the last one a run failed for. Wake-ups
  // can pile up (a disconnect and the next connect both wake this thread): one that finds
  // the current connection registered, or its run failed and no retry asked for, is spent.
  std::uint64_t succeededFor = 0;
  std::uint64_t failedFor = 0;
  while (!stop.stop_requested()) {
    handler.wakeup.wait(tracker);
    if (stop.stop_requested()) break;
    if (!dataConnectionUp(service)) {
      recordRegistrationFailure(handler, registrationError(RegistrationErrorCategory::kPending));
      continue;
    }
    std::unique_ptr<RegistrationRun> run;
    // Taken before the run's first request: a run counts only for the connection it served.
    const std::uint64_t forConnection = service.registrationStamps().currentConnection();
    // The reconnect task clears runFailed when it asks for a retry.
    if (forConnection == succeededFor || (forConnection == failedFor && handler.runFailed.load())) continue;
    handler.runFailed.store(false);
    try {
      const std::unique_ptr<RedisAccess> connection = service.locator().connectCurrent(
          *handler.stopSource, std::chrono::seconds(RedisConnection::kConnectTimeoutSeconds));
      run = std::make_unique<RegistrationRun>(*connection, service.serviceName(), stop);
      runRegistration(service, *run);
      // Published while the connection is still open; it closes when the scope ends. A run
      // that outlived its data connection does not count, also when a later one is up: the
      // records may be gone with the old server, and the next run deletes them anyway.
      if (recordRegistrationSuccess(handler, forConnection)) {
        // The data worker shows it in the status key at once.
        service.registrationStamps().completed(forConnection, utils::chrono::now());
        service.channels().signal();
      }
      succeededFor = forConnection;
    } catch (...) {
      // std::exception and anything else alike: currentErrorCode() gives the text of the
      // former and "unknown exception" for the rest, and nothing may escape the thread.
      recordRegistrationFailure(handler, utils::eh::currentErrorCode());
      handler.runFailed.store(true);
      failedFor = forConnection;
      // A READONLY: the server was made a replica under the run.
      service.reportFailure();
    }
    // Done or failed, the command connection may come up now (a failed run still lets
    // commands be served).
    service.registrationStamps().finished(forConnection);
    if (service.commandHandler()) service.commandHandler()->wakeup.notify_all();
    // Not freed on this thread: a stop must not wait for a million entries to be freed.
    handler.leftovers.release(std::move(run));
  }
  recordRegistrationFailure(handler, registrationError(RegistrationErrorCategory::kPending));
}

}  // namespace ormanta::plugins::TulService
