#include "registration/RegistrationWorker.h"

#include "plugin/StatePublishing.h"

namespace ormanta::plugins::TulService {

void runRegistrationWorker(RegistrationHandler& handler, std::stop_token stop,
                           utils::lockFree::ConditionVariable::Tracker tracker) {
  while (!stop.stop_requested()) handler.wakeup.wait(tracker);
  publishRegistrationFailure(handler, registrationError(RegistrationErrorCategory::kPending));
}

}  // namespace ormanta::plugins::TulService
