#include "plugin/StatePublishing.h"

#include "ormanta/memory/MemoryBlock.h"
#include "ormanta/utils/chrono/TimePoint.h"
#include "plugin/Service.h"

namespace ormanta::plugins::TulService {
namespace {

// Writes {error, flag} into the block's record and runs then() before the sentinel closes.
// Returns the old flag.
template <class Record, class Then>
bool writeRecord(memory::MemoryBlock& block, std::error_code error, bool flag, Then&& then,
                 utils::chrono::TimePoint time = utils::chrono::now()) {
  memory::WriteSentinel sentinel(block);
  const Record& old = sentinel.oldRecord<Record>();
  Record& fresh = sentinel.newRecord<Record>();
  bool oldFlag;
  if constexpr (requires { old.registered; }) {
    oldFlag = old.registered;
    fresh.registered = flag;
  } else {
    oldFlag = old.connected;
    fresh.connected = flag;
  }
  fresh.error = error;
  sentinel.commit(time);
  then(oldFlag);
  return oldFlag;
}

void wakeSupervisor(Service& service) {
  if (service.supervisor) service.supervisor->wakeup.notify_all();
}

template <class Record, class Handler>
void connectionUp(Handler& handler) {
  const std::error_code good = connectionError(ConnectionErrorCategory::kNoError);
  writeRecord<Record>(handler.state, good, true, [&](bool oldFlag) {
    handler.phase.store(kPhaseConnected);
    handler.connected.store(true);
    handler.setLastError(good);
    if (!oldFlag) wakeSupervisor(*handler.owner);
  });
}

template <class Record, class Handler, class Extra>
void connectionDown(Handler& handler, std::error_code error, Extra&& extra) {
  writeRecord<Record>(handler.state, error, false, [&](bool oldFlag) {
    handler.phase.store(kPhaseIdle);
    handler.connected.store(false);
    handler.setLastError(error);
    // Either connection failing ends the command connection, whose XREAD waits without limit.
    handler.owner->commandStopSource.requestStop();
    extra();
    if (oldFlag) wakeSupervisor(*handler.owner);
  });
}

}  // namespace

void publishConnectionUp(DataConnectionHandler& handler) { connectionUp<DataConnectionState>(handler); }

void publishConnectionUp(CommandConnectionHandler& handler) { connectionUp<CommandConnectionState>(handler); }

void publishConnectionDown(DataConnectionHandler& handler, std::error_code error) {
  connectionDown<DataConnectionState>(handler, error, [&] {
    // Without the data connection the service is not registered: the registration worker, woken
    // while the data connection is down, publishes "pending" until a new run completes.
    if (RegistrationHandler* registration = handler.owner->registrationHandler.get()) registration->wakeup.notify_all();
  });
}

void publishConnectionDown(CommandConnectionHandler& handler, std::error_code error) {
  // Peers must subscribe again once the command connection is back.
  connectionDown<CommandConnectionState>(handler, error, [&] { handler.owner->subscriptionTable.clear(); });
}

void publishRegistered(RegistrationHandler& handler) {
  const std::error_code good = registrationError(RegistrationErrorCategory::kRegistered);
  writeRecord<RegistrationState>(handler.state, good, true, [&](bool) {
    handler.setLastError(good);
    handler.registered.store(true);
  });
}

void publishRegistrationFailure(RegistrationHandler& handler, std::error_code error) {
  writeRecord<RegistrationState>(handler.state, error, false, [&](bool) {
    handler.setLastError(error);
    handler.registered.store(false);
  });
}

bool publishGeneralState(ConnectionSupervisor& supervisor, std::error_code code, bool connected) {
  const utils::chrono::TimePoint time = utils::chrono::now();
  const bool oldFlag = writeRecord<GeneralConnectionState>(supervisor.state, code, connected, [](bool) {}, time);
  if (oldFlag != connected) {
    Service& service = *supervisor.owner;
    (connected ? service.connectedEvent : service.disconnectedEvent).raise(time);
  }
  return oldFlag;
}

}  // namespace ormanta::plugins::TulService
