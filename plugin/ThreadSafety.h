#pragma once

// Clang's thread-safety analysis (-Wthread-safety): these attributes say which lock guards which
// field and which function needs or takes which lock, and the compiler checks every access.
// Other compilers see nothing. Modelled on Abseil's thread_annotations.h and mutex.h.

#include <atomic>
#include <cstdint>
#include <mutex>

#include "ormanta/utils/core/ThreadAnnotations.h"
#include "plugin/CpuRelax.h"

#define TUL_THREAD_ANNOTATION(x) ORMANTA_THREAD_ANNOTATION(x)

#define TUL_CAPABILITY(name) TUL_THREAD_ANNOTATION(capability(name))
#define TUL_SCOPED_CAPABILITY TUL_THREAD_ANNOTATION(scoped_lockable)
#define TUL_GUARDED_BY(lock) TUL_THREAD_ANNOTATION(guarded_by(lock))
#define TUL_REQUIRES(...) TUL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TUL_ACQUIRE(...) TUL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TUL_RELEASE(...) TUL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TUL_EXCLUDES(...) TUL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define TUL_ASSERT_CAPABILITY(lock) TUL_THREAD_ANNOTATION(assert_capability(lock))

namespace ormanta::plugins::TulService {

// A std::mutex the analysis knows.
class TUL_CAPABILITY("mutex") Mutex {
 public:
  void lock() TUL_ACQUIRE() { mutex_.lock(); }
  void unlock() TUL_RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

class TUL_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) TUL_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() TUL_RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// A spin lock on one atomic 32-bit word: swap 1 in, spinning with a processor pause while it
// was 1; store 0 to free it. Held only for the copy of a few words (an error code), so a spin
// beats parking the thread.
class TUL_CAPABILITY("spin lock") SpinLock {
 public:
  void lock() noexcept TUL_ACQUIRE() {
    while (word_.exchange(1, std::memory_order_acquire) == 1) {
      while (word_.load(std::memory_order_relaxed) == 1) cpuRelax();
    }
  }
  void unlock() noexcept TUL_RELEASE() { word_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::uint32_t> word_{0};
};

class TUL_SCOPED_CAPABILITY SpinLockGuard {
 public:
  explicit SpinLockGuard(SpinLock& lock) noexcept TUL_ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
  ~SpinLockGuard() TUL_RELEASE() { lock_.unlock(); }
  SpinLockGuard(const SpinLockGuard&) = delete;
  SpinLockGuard& operator=(const SpinLockGuard&) = delete;

 private:
  SpinLock& lock_;
};

}  // namespace ormanta::plugins::TulService
