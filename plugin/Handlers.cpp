#include "plugin/Handlers.h"

#include <string>
#include <utility>

#include "commands/CommandWorker.h"
#include "plugin/ConnectionSupervision.h"
#include "plugin/Service.h"
#include "publishing/DataWorker.h"
#include "publishing/ServiceStatus.h"
#include "registration/RegistrationWorker.h"

namespace ormanta::plugins::TulService {
namespace {

// Starts body(handler, stop token, tracker) on a new thread. The tracker is made here, before
// the thread exists, so that a wake-up sent while the thread is still starting is not lost.
// A worker still running is stopped fully first: a plain jthread move-assignment would join it
// without waking it.
template <class Handler, class Body>
void startWorker(Handler& handler, Body body) {
  if (handler.worker.joinable()) handler.stop();
  utils::lockFree::ConditionVariable::Tracker tracker(handler.wakeup);
  handler.worker = std::jthread(
      [&handler, body, tracker](std::stop_token stop) { body(handler, std::move(stop), tracker); });
}

void joinIfRunning(std::jthread& worker) {
  if (worker.joinable()) worker.join();
}

}  // namespace

ConnectionHandler::ConnectionHandler(Service& owner, utils::io::StopSource& stopSource,
                                     std::int32_t initialPhase, std::int64_t maxWaitMs,
                                     memory::MemoryBlock block)
    : owner(&owner),
      stopSource(&stopSource),
      state(std::move(block)),
      phase(initialPhase),
      maxWaitMs(maxWaitMs) {}

std::error_code ConnectionHandler::lastErrorCopy() noexcept {
  SpinLockGuard lock(lastErrorLock);
  return lastError;
}

void ConnectionHandler::setLastError(std::error_code error) noexcept {
  SpinLockGuard lock(lastErrorLock);
  lastError = error;
}

DataConnectionHandler::DataConnectionHandler(Service& owner)
    : ConnectionHandler(owner, owner.ioStopSource(), kPhaseConnectRequested, 3000,
                        makeStateBlock<DataConnectionState>()),
      publishing(makeStateBlock<PublishingState>()) {}

void DataConnectionHandler::probe() noexcept {
  probeRequested.store(true);
  owner->channels().signal();
}

void DataConnectionHandler::failOver(std::string why) {
  {
    SpinLockGuard lock(failOverLock_);
    failOver_ = std::move(why);
  }
  owner->channels().signal();
}

std::optional<std::string> DataConnectionHandler::takeFailOver() {
  SpinLockGuard lock(failOverLock_);
  return std::exchange(failOver_, std::nullopt);
}

DataConnectionHandler::~DataConnectionHandler() { stop(); }

void DataConnectionHandler::start() {
  if (worker.joinable()) stop();
  while (statusWithdrawn.try_acquire()) {
  }
  startWorker(*this, runDataWorker);
}

void DataConnectionHandler::stop() {
  worker.request_stop();
  wakeup.notify_all();
  // The worker may sleep on the sample semaphore until its next pass; one release lets it see
  // the stop at once.
  owner->channels().signal();
  // The status key goes before the socket: requesting the stop source aborts it at once.
  if (worker.joinable() && statusKeyLive.load())
    statusWithdrawn.try_acquire_for(ServiceStatus::kWithdrawBound);
  stopSource->requestStop();
  joinIfRunning(worker);
}

CommandConnectionHandler::CommandConnectionHandler(Service& owner)
    : ConnectionHandler(owner, owner.commandStopSource(), kPhaseIdle, 20000,
                        makeStateBlock<CommandConnectionState>()) {}

CommandConnectionHandler::~CommandConnectionHandler() { stop(); }

void CommandConnectionHandler::start() { startWorker(*this, runCommandWorker); }

void CommandConnectionHandler::stop() {
  worker.request_stop();
  wakeup.notify_all();
  retryNow.release();
  stopSource->requestStop();
  joinIfRunning(worker);
}

RegistrationHandler::RegistrationHandler(Service& owner)
    : owner(&owner), stopSource(&owner.ioStopSource()), state(makeStateBlock<RegistrationState>()) {}

RegistrationHandler::~RegistrationHandler() { stop(); }

void RegistrationHandler::start() { startWorker(*this, runRegistrationWorker); }

void RegistrationHandler::stop() {
  worker.request_stop();
  wakeup.notify_all();
  stopSource->requestStop();
  joinIfRunning(worker);
}

void RegistrationHandler::setLastError(std::error_code error) noexcept {
  SpinLockGuard lock(lastErrorLock);
  lastError = error;
}

ConnectionSupervisor::ConnectionSupervisor(Service& owner)
    : state(makeStateBlock<GeneralConnectionState>()), owner(&owner) {}

ConnectionSupervisor::~ConnectionSupervisor() { stop(); }

void ConnectionSupervisor::start() { startWorker(*this, runConnectionSupervisor); }

void ConnectionSupervisor::stop() {
  worker.request_stop();
  wakeup.notify_all();
  joinIfRunning(worker);
}

}  // namespace ormanta::plugins::TulService
