#pragma once

#include <cstdint>
#include <system_error>

#include "plugin/Handlers.h"

namespace ormanta::plugins::TulService {

// The one way every worker publishes its state record: open a write sentinel on its block,
// note the old flag, write both fields, commit with the current time, then update the
// handler's mirrors and wake whom the change concerns. Each function is called by the
// handler's own worker thread only.

// {0 of ConnectionErrorCategory, true}; phase 2, connected, lastError; wakes the supervisor
// when the record's flag was false.
void publishConnected(DataConnectionHandler& handler);
void publishConnected(CommandConnectionHandler& handler);

// {error, false}; phase 0, not connected, lastError; stops the command connection's socket
// waits; for the command handler clears every subscription; for the data handler publishes
// the registration as pending; counts an outage and wakes the supervisor when the record's
// flag was true.
void publishDisconnected(DataConnectionHandler& handler, std::error_code error);
void publishDisconnected(CommandConnectionHandler& handler, std::error_code error);

// {0 of RegistrationErrorCategory, true} when the run served connection (a number of
// RegistrationStamps) and that data connection is still the current one and up; else
// {pending, false}. lastError, registered. Returns whether it counted.
bool recordRegistrationSuccess(RegistrationHandler& handler, std::uint64_t connection);
// {error, false}; lastError, not registered.
void recordRegistrationFailure(RegistrationHandler& handler, std::error_code error);

// {code, connected} into the general record; raises the connected (or disconnected) event,
// stamped with the commit's time, when the flag changed. outages: the general code's bits of
// the connections that went down since the last call (ConnectionHandler::outages); when they
// are up again, both events are raised. Returns the old flag.
bool publishGeneralState(ConnectionSupervisor& supervisor, std::error_code code, bool connected,
                         int outages = 0);

// The data worker's publishing record (only when it changes).
void publishPublishingError(DataConnectionHandler& handler, std::error_code error);

}  // namespace ormanta::plugins::TulService
