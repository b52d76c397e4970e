#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <semaphore>
#include <stop_token>
#include <system_error>
#include <thread>
#include <vector>

#include "ormanta/memory/MemoryBlock.h"
#include "ormanta/utils/io/StopSource.h"
#include "ormanta/utils/lockFree/ConditionVariable.h"
#include "plugin/StateRecords.h"
#include "plugin/ThreadSafety.h"
#include "registration/RunReleaser.h"

namespace ormanta::plugins::TulService {

class Channel;
class Service;

// Values of a connection handler's phase.
inline constexpr std::int32_t kPhaseIdle = 0;
inline constexpr std::int32_t kPhaseConnectRequested = 1;
inline constexpr std::int32_t kPhaseConnected = 2;

// What the data and the command connection handlers share. The worker thread is the only
// writer of the state block and of the mirrors (phase, connected, lastError), except that the
// reconnect task and the data worker move phase from idle to connect-requested.
//
// Memory ordering: phase and connected are sequentially consistent atomics; lastError is
// copied only under lastErrorLock. Other threads read the mirrors, never the block.
class ConnectionHandler {
 public:
  ConnectionHandler(Service& owner, utils::io::StopSource& stopSource, std::int32_t initialPhase,
                    std::int64_t maxWaitMs, memory::MemoryBlock block);
  virtual ~ConnectionHandler() = default;
  ConnectionHandler(const ConnectionHandler&) = delete;
  ConnectionHandler& operator=(const ConnectionHandler&) = delete;

  // A copy of lastError taken under lastErrorLock; any thread.
  std::error_code lastErrorCopy() noexcept;
  void setLastError(std::error_code error) noexcept;  // worker thread

  Service* const owner;
  utils::io::StopSource* const stopSource;  // the service's; shared with other handlers
  utils::lockFree::ConditionVariable wakeup;
  std::jthread worker;        // started and joined by the lifecycle thread
  memory::MemoryBlock state;  // written by the worker only
  std::atomic<std::int32_t> phase;
  SpinLock lastErrorLock;
  std::error_code lastError TUL_GUARDED_BY(lastErrorLock);
  std::atomic<bool> connected{false};
  // Outages seen so far: counted by the worker when its record's flag goes from true to false,
  // before it wakes the supervisor, which raises both events for an outage it saw only as a count.
  std::atomic<std::uint64_t> outages{0};
  std::int64_t maxWaitMs;  // fixed before the worker starts
};

class DataConnectionHandler final : public ConnectionHandler {
 public:
  explicit DataConnectionHandler(Service& owner);
  ~DataConnectionHandler() override;
  void start();  // lifecycle thread
  // Lifecycle thread; also wakes the worker out of its sample wait. While the worker's
  // connection holds the status key, it first gives the worker up to
  // ServiceStatus::kWithdrawBound to delete the key on that connection, and only then requests
  // the stop source, which aborts the socket: a clean stop shows at once, and a worker stuck in
  // a socket call costs the stop no more than that bound.
  void stop();

  // Any thread: asks the worker to prove its connection with a round trip at once (the command
  // connection was closed by the server, which may mean the server is gone) and wakes it.
  void probe() noexcept;
  // Any thread: the server is no longer the primary (a failover was announced); the worker
  // fails its connection with why as the reason at its next wake-up, which comes at once.
  void failOver(std::string why);
  // The worker: the reason failOver() gave, if it was called since the last take.
  std::optional<std::string> takeFailOver();

  // Set by probe(), taken by the worker.
  std::atomic<bool> probeRequested{false};
  // The publishing record: written by the worker only.
  memory::MemoryBlock publishing;
  // Set by the worker while its connection holds the status key, read by stop().
  std::atomic<bool> statusKeyLive{false};
  // Worker only, kept across connections: changed channels not yet published, and how many of
  // them the server refused.
  std::vector<std::shared_ptr<Channel>> sampleQueue;
  std::size_t refusedStreams = 0;
  // Released by the worker once it has tried to delete the status key on stop; acquired by
  // stop(), drained by start().
  std::counting_semaphore<> statusWithdrawn{0};

 private:
  SpinLock failOverLock_;
  std::optional<std::string> failOver_ TUL_GUARDED_BY(failOverLock_);
};

class CommandConnectionHandler final : public ConnectionHandler {
 public:
  explicit CommandConnectionHandler(Service& owner);
  ~CommandConnectionHandler() override;
  void start();
  void stop();

  // Released by a connection request (the reconnect task, a new data connection) and by stop();
  // acquired by the worker's back-off, which it ends at once. Drained before each attempt.
  std::counting_semaphore<> retryNow{0};
};

// The registration worker's handler; it alone writes the block and the mirrors.
class RegistrationHandler {
 public:
  explicit RegistrationHandler(Service& owner);
  ~RegistrationHandler();
  RegistrationHandler(const RegistrationHandler&) = delete;
  RegistrationHandler& operator=(const RegistrationHandler&) = delete;

  void start();
  void stop();
  void setLastError(std::error_code error) noexcept;

  Service* const owner;
  utils::io::StopSource* const stopSource;  // the service's ioStopSource
  std::jthread worker;
  memory::MemoryBlock state;
  SpinLock lastErrorLock;
  std::error_code lastError TUL_GUARDED_BY(lastErrorLock);
  std::atomic<bool> registered{false};
  // Set by the worker when a run fails, taken by the reconnect task: a run the server refused
  // (out of memory, a missing permission) is retried by the task while the data connection stays
  // up, and only then, since every run deletes the command stream anew.
  std::atomic<bool> runFailed{false};
  utils::lockFree::ConditionVariable wakeup;
  RunReleaser leftovers;  // fed by the worker; outlives it (destroyed after stop() joined it)
};

// Folds both connections into the general state; the only writer of its block and the only
// raiser of the service's connected and disconnected events.
class ConnectionSupervisor {
 public:
  explicit ConnectionSupervisor(Service& owner);
  ~ConnectionSupervisor();
  ConnectionSupervisor(const ConnectionSupervisor&) = delete;
  ConnectionSupervisor& operator=(const ConnectionSupervisor&) = delete;

  void start();
  void stop();

  std::jthread worker;
  memory::MemoryBlock state;
  Service* const owner;
  utils::lockFree::ConditionVariable wakeup;
};

}  // namespace ormanta::plugins::TulService
