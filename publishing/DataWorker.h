#pragma once

#include <stop_token>

#include "ormanta/utils/lockFree/ConditionVariable.h"
#include "plugin/Handlers.h"

namespace ormanta::plugins::TulService {

// The data worker's thread body. Keeps the data connection: connects whenever its phase asks
// for it, publishes its state, wakes the registration worker and asks for the command
// connection, then publishes due channels whenever the channels signal (or a waiting
// channel falls due) and pings an idle connection every maxWaitMs. A failure is recorded and
// waits for the reconnect task; a stop ends the thread with the "not established" record.
// Each connection keeps the status key (ServiceStatus) alive: written once the connection is
// up, before the registration is woken; refreshed every maxWaitMs in place of the idle PING
// (or before the pass once it is due) and at once after a completed registration run; deleted
// on stop, before the connection closes (DataConnectionHandler::stop waits for that, bounded).
// tracker was made before the thread started.
void runDataWorker(DataConnectionHandler& handler, std::stop_token stop,
                   utils::lockFree::ConditionVariable::Tracker tracker);

}  // namespace ormanta::plugins::TulService
