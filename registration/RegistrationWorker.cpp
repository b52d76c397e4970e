#include "registration/RegistrationWorker.h"

#include "ormanta/utils/eh/CurrentErrorCode.h"
#include "plugin/Service.h"
#include "plugin/StatePublishing.h"
#include "redis/RedisConnection.h"
#include "registration/DataPointCatalogue.h"
#include "registration/RegistrationRun.h"

namespace ormanta::plugins::TulService {

namespace {

constexpr std::uint64_t kConnectTimeoutSeconds = 3;

bool dataConnectionUp(const Service& service) noexcept {
  return service.dataHandler && service.dataHandler->phase.load() == kPhaseConnected;
}

}  // namespace

void runRegistration(Service& service, RedisConnection& connection) {
  RegistrationRun run(connection, service.serviceName);
  run.clearPreviousRegistration();
  run.writeServiceRecord();
  run.writeEnumerationTypes();
  // Walked only now, so that the model is described as it is after the keys were cleared.
  DataPointCatalogue catalogue = buildCatalogue(service);
  run.writeDataPoints(catalogue);
}

void recordRegistrationSuccess(RegistrationHandler& handler) { publishRegistered(handler); }

void recordRegistrationFailure(RegistrationHandler& handler, std::error_code error) {
  publishRegistrationFailure(handler, error);
}

void runRegistrationWorker(RegistrationHandler& handler, std::stop_token stop,
                           utils::lockFree::ConditionVariable::Tracker tracker) {
  Service& service = *handler.owner;
  while (!stop.stop_requested()) {
    handler.wakeup.wait(tracker);
    if (stop.stop_requested()) break;
    if (!dataConnectionUp(service)) {
      recordRegistrationFailure(handler, registrationError(RegistrationErrorCategory::kPending));
      continue;
    }
    try {
      RedisConnection connection(service.address);
      connection.connect(*handler.stopSource, kConnectTimeoutSeconds);
      runRegistration(service, connection);
      // Published while the connection is still open; it closes when the scope ends.
      recordRegistrationSuccess(handler);
    } catch (...) {
      // std::exception and anything else alike: currentErrorCode() gives the text of the
      // former and "unknown exception" for the rest, and nothing may escape the thread.
      recordRegistrationFailure(handler, utils::eh::currentErrorCode());
    }
  }
  recordRegistrationFailure(handler, registrationError(RegistrationErrorCategory::kPending));
}

}  // namespace ormanta::plugins::TulService
