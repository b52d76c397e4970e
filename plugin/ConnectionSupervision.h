#pragma once

#include <stop_token>

#include "ormanta/utils/lockFree/ConditionVariable.h"
#include "plugin/Handlers.h"

namespace ormanta::plugins::TulService {

// The supervisor's thread body: on every wake-up folds the command and data connections'
// mirrors into the general state record and raises the connected or disconnected event when
// the service as a whole came up or went down; an outage that ended before it looked (seen only
// in a handler's outage count) still raises both. Returns on stop without writing.
// tracker was made before the thread started, so no wake-up is lost while it starts.
void runConnectionSupervisor(ConnectionSupervisor& supervisor, std::stop_token stop,
                             utils::lockFree::ConditionVariable::Tracker tracker);

}  // namespace ormanta::plugins::TulService
