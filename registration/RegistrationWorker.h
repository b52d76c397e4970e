#pragma once

#include <stop_token>

#include "ormanta/utils/lockFree/ConditionVariable.h"
#include "plugin/Handlers.h"

namespace ormanta::plugins::TulService {

// The registration worker's thread body (tracker made before the thread started).
void runRegistrationWorker(RegistrationHandler& handler, std::stop_token stop,
                           utils::lockFree::ConditionVariable::Tracker tracker);

}  // namespace ormanta::plugins::TulService
