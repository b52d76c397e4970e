#pragma once

// The status key "<S>.Status": how peers tell a serving service from a dead one. It holds
// {"connectedSince":"<ISO time>","registeredAt":"<ISO time>"|null} and lives 10 s unless the
// data worker refreshes it (at least every 3 s); a clean stop deletes it, a crash lets it
// expire.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "ormanta/utils/chrono/TimePoint.h"
#include "plugin/ThreadSafety.h"
#include "redis/RedisConnection.h"

namespace ormanta::plugins::TulService {

// The hand-off from the registration worker to the data worker: which data connection a
// completed registration run served, and when it completed.
//
// Threads: the data worker calls beginConnection() for each new connection before it wakes
// the registration worker, and completedFor(); the registration worker calls
// currentConnection() before a run's first request, completed() once the run is done and
// finished() once it has ended either way; the command worker calls settled() before it
// connects. One per service (a member of Service).
//
// Memory ordering: connection_ and completions_ are sequentially consistent atomics; the pair
// (completedConnection_, completedAt_) is written and read only under lock_ (a SpinLockGuard,
// whose acquire/release orders the pair). completed() bumps completions_ after it has stored
// the pair, so a data worker that sees a new count and then takes the lock reads that pair or
// a later one. A run that began for an earlier connection carries that connection's number and
// never counts for a later one: its records may be gone with the old server.
class RegistrationStamps {
 public:
  std::uint64_t beginConnection() noexcept { return connection_.fetch_add(1) + 1; }
  std::uint64_t currentConnection() const noexcept { return connection_.load(); }

  void completed(std::uint64_t connection, utils::chrono::TimePoint at) noexcept;
  // The completion time of the latest run done for connection, if one has completed.
  std::optional<utils::chrono::TimePoint> completedFor(std::uint64_t connection) noexcept;
  // Grows with every completed run: lets the data worker notice one without the lock.
  std::uint64_t completions() const noexcept { return completions_.load(); }

  // A run begun for connection has ended, done or failed.
  void finished(std::uint64_t connection) noexcept { finished_.store(connection); }
  // Whether a run has ended for the current connection: until then the command connection
  // waits, so that it never comes up on a server the data connection has not registered with.
  bool settled() const noexcept { return finished_.load() == connection_.load(); }

 private:
  std::atomic<std::uint64_t> connection_{0};
  std::atomic<std::uint64_t> finished_{0};
  std::atomic<std::uint64_t> completions_{0};
  SpinLock lock_;
  std::uint64_t completedConnection_ TUL_GUARDED_BY(lock_) = 0;
  utils::chrono::TimePoint completedAt_ TUL_GUARDED_BY(lock_);
};

// Writes and deletes one data connection's status key. Data worker thread only; made after
// each successful connect and dropped with the connection.
class ServiceStatus {
 public:
  static constexpr std::int64_t kLifetimeMs = 10'000;              // PX of every SET
  static constexpr std::chrono::milliseconds kWithdrawBound{100};  // DEL's reply wait on stop

  // "<serviceName>.Status".
  static std::string keyOf(const std::string& serviceName);
  // The key's JSON text.
  static std::string text(utils::chrono::TimePoint connectedSince,
                          std::optional<utils::chrono::TimePoint> registeredAt);

  ServiceStatus(RedisAccess& connection, const std::string& serviceName,
                utils::chrono::TimePoint connectedSince);

  // SET key text PX 10000; throws what the connection throws and a refusal's text (NOPERM):
  // a service that cannot show it is alive must not look as if it did.
  void write(std::optional<utils::chrono::TimePoint> registeredAt);
  // Milliseconds until the next refresh is due (0: due now), counted from the last write().
  std::int64_t msUntilRefresh(std::int64_t refreshEveryMs) const noexcept;
  // DEL key, its reply awaited at most kWithdrawBound; never throws (the key expires anyway).
  void withdraw() noexcept;

 private:
  RedisAccess& connection_;
  std::string key_;
  utils::chrono::TimePoint connectedSince_;
  std::chrono::steady_clock::time_point lastWrite_;
};

}  // namespace ormanta::plugins::TulService
