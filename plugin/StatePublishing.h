#pragma once

#include <system_error>

#include "plugin/Handlers.h"

namespace ormanta::plugins::TulService {

// The one way every worker publishes its state record: open a write sentinel on its block,
// note the old flag, write both fields, commit with the current time, then update the
// handler's mirrors and wake whom the change concerns. Each function is called by the
// handler's own worker thread only.

// {0 of ConnectionErrorCategory, true}; phase 2, connected, lastError; wakes the supervisor
// when the record's flag was false.
void publishConnectionUp(DataConnectionHandler& handler);
void publishConnectionUp(CommandConnectionHandler& handler);

// {error, false}; phase 0, not connected, lastError; stops the command connection's socket
// waits; for the command handler clears every subscription; wakes the supervisor when the
// record's flag was true.
void publishConnectionDown(DataConnectionHandler& handler, std::error_code error);
void publishConnectionDown(CommandConnectionHandler& handler, std::error_code error);

// {0 of RegistrationErrorCategory, true}; lastError, registered.
void publishRegistered(RegistrationHandler& handler);
// {error, false}; lastError, not registered.
void publishRegistrationFailure(RegistrationHandler& handler, std::error_code error);

// {code, connected} into the general record; raises the connected (or disconnected) event,
// stamped with the commit's time, when the flag changed. Returns the old flag.
bool publishGeneralState(ConnectionSupervisor& supervisor, std::error_code code, bool connected);

}  // namespace ormanta::plugins::TulService
