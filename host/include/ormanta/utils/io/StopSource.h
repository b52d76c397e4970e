#pragma once

#include <atomic>
#include <cstdint>

namespace ormanta::utils::io {

// A stop signal that blocking socket calls watch. requestStop() makes every socket call
// bound to this source that is blocked now, or that blocks later, give up within
// milliseconds (it throws; see SocketDevice) until reset() is called.
//
// Any thread may call requestStop(), reset() and stopRequested(). The source must outlive
// the sockets bound to it.
class StopSource {
 public:
  StopSource();  // throws std::system_error if the OS refuses a wake-up handle
  ~StopSource();
  StopSource(const StopSource&) = delete;
  StopSource& operator=(const StopSource&) = delete;

  void requestStop() noexcept;
  void reset() noexcept;
  bool stopRequested() const noexcept { return requested_.load(std::memory_order_acquire); }

  // Host-internal: the OS handle that becomes signalled on requestStop() (an eventfd).
  std::intptr_t nativeWaitHandle() const noexcept { return handle_; }

 private:
  std::atomic<bool> requested_{false};
  std::intptr_t handle_ = -1;
};

}  // namespace ormanta::utils::io
