#include "ormanta/utils/io/StopSource.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace ormanta::utils::io {

StopSource::StopSource() {
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::system_category(), "eventfd");
  handle_ = fd;
}

StopSource::~StopSource() { ::close(static_cast<int>(handle_)); }

void StopSource::requestStop() noexcept {
  // The flag first: a caller about to block tests it before polling, a caller already
  // polling wakes on the eventfd.
  requested_.store(true, std::memory_order_release);
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(static_cast<int>(handle_), &one, sizeof one);
}

void StopSource::reset() noexcept {
  // Drain before clearing the flag, so that a requestStop() racing with reset() leaves the
  // eventfd readable rather than being lost while a socket is already polling.
  std::uint64_t counter = 0;
  [[maybe_unused]] const auto read = ::read(static_cast<int>(handle_), &counter, sizeof counter);
  requested_.store(false, std::memory_order_release);
}

}  // namespace ormanta::utils::io
