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
  if (service.supervisor()) service.supervisor()->wakeup.notify_all();
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
    handler.owner->commandStopSource().requestStop();
    extra();
    if (oldFlag) {
      handler.outages.fetch_add(1);
      wakeSupervisor(*handler.owner);
    }
  });
}

void writeRegistration(RegistrationHandler& handler, std::error_code error, bool registered) {
  writeRecord<RegistrationState>(handler.state, error, registered, [&](bool) {
    handler.setLastError(error);
    handler.registered.store(registered);
  });
}

}  // namespace

void publishConnected(DataConnectionHandler& handler) { connectionUp<DataConnectionState>(handler); }

void publishConnected(CommandConnectionHandler& handler) { connectionUp<CommandConnectionState>(handler); }

void publishDisconnected(DataConnectionHandler& handler, std::error_code error) {
  connectionDown<DataConnectionState>(handler, error, [&] {
    // Without the data connection the service is not registered (its records may be gone with
    // the server): shown at once, also while a run is still busy. phase is already idle, so a
    // run that ends now cannot count (recordRegistrationSuccess). Woken, the registration worker
    // registers again once a new data connection is up.
    if (RegistrationHandler* registration = handler.owner->registrationHandler()) {
      writeRegistration(*registration, registrationError(RegistrationErrorCategory::kPending), false);
      registration->wakeup.notify_all();
    }
  });
}

void publishDisconnected(CommandConnectionHandler& handler, std::error_code error) {
  // Peers must subscribe again once the command connection is back.
  connectionDown<CommandConnectionState>(handler, error, [&] { handler.owner->subscriptionTable().clear(); });
}

bool recordRegistrationSuccess(RegistrationHandler& handler, std::uint64_t connection) {
  Service& service = *handler.owner;
  // Decided under the block's writer lock: a data worker that fails leaves phase 2 before it
  // takes that lock to publish "pending", so it either sees this record or makes it count for
  // nothing.
  memory::WriteSentinel sentinel(handler.state);
  const bool current = service.registrationStamps().currentConnection() == connection &&
                       service.dataHandler() && service.dataHandler()->phase.load() == kPhaseConnected;
  const std::error_code code = registrationError(current ? RegistrationErrorCategory::kRegistered
                                                         : RegistrationErrorCategory::kPending);
  RegistrationState& fresh = sentinel.newRecord<RegistrationState>();
  fresh.error = code;
  fresh.registered = current;
  sentinel.commit(utils::chrono::now());
  handler.setLastError(code);
  handler.registered.store(current);
  return current;
}

void recordRegistrationFailure(RegistrationHandler& handler, std::error_code error) {
  writeRegistration(handler, error, false);
}

bool publishGeneralState(ConnectionSupervisor& supervisor, std::error_code code, bool connected,
                         int outages) {
  Service& service = *supervisor.owner;
  const utils::chrono::TimePoint time = utils::chrono::now();
  if (outages != 0 && connected) {
    // Down and up again before the supervisor looked: still one disconnection, then one
    // connection, each with a record of its own.
    const bool oldFlag = writeRecord<GeneralConnectionState>(
        supervisor.state, generalConnectionError(outages), false, [](bool) {}, time);
    if (oldFlag) service.disconnectedEvent().raise(time);
    const utils::chrono::TimePoint after = utils::chrono::now();
    writeRecord<GeneralConnectionState>(
        supervisor.state, code, true, [](bool) {}, after);
    service.connectedEvent().raise(after);
    return oldFlag;
  }
  const bool oldFlag = writeRecord<GeneralConnectionState>(
      supervisor.state, code, connected, [](bool) {}, time);
  if (oldFlag != connected) (connected ? service.connectedEvent() : service.disconnectedEvent()).raise(time);
  return oldFlag;
}

void publishPublishingError(DataConnectionHandler& handler, std::error_code error) {
  memory::WriteSentinel sentinel(handler.publishing);
  if (sentinel.oldRecord<PublishingState>().error == error) return;  // nothing new to show
  sentinel.newRecord<PublishingState>().error = error;
  sentinel.commit(utils::chrono::now());
}

}  // namespace ormanta::plugins::TulService
