#pragma once

#include <cstdint>
#include <stop_token>
#include <system_error>

#include "ormanta/utils/lockFree/ConditionVariable.h"
#include "plugin/Handlers.h"

namespace ormanta::plugins::TulService {

class RedisAccess;
class RegistrationRun;
class Service;

// The registration worker's thread body (tracker made before the thread started). Waits for
// wake-ups; each one while the data connection is up runs one registration on a connection
// of its own, each one while it is down publishes "pending". Publishes "pending" on stop.
void runRegistrationWorker(RegistrationHandler& handler, std::stop_token stop,
                           utils::lockFree::ConditionVariable::Tracker tracker);

// One run: clear the previous registration, write the service record and the enumeration
// types, then walk the model and write its records in one batch. Registration worker thread;
// throws whatever a step throws, and std::system_error(std::errc::operation_canceled) when the
// run's stop ends the walk or the encoding. What the run built stays in run.
void runRegistration(Service& service, RegistrationRun& run);
// The same on an open connection, with a run of its own that is freed on return.
void runRegistration(Service& service, RedisAccess& connection, std::stop_token stop = {});

}  // namespace ormanta::plugins::TulService
