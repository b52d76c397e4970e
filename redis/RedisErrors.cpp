#include "redis/RedisErrors.h"

#include <system_error>

namespace ormanta::plugins::TulService {

bool isConnectionClosed(const std::exception_ptr& failure) noexcept {
  try {
    std::rethrow_exception(failure);
  } catch (const std::system_error& error) {
    const std::error_code code = error.code();
    return code == std::errc::connection_reset || code == std::errc::broken_pipe ||
           code == std::errc::connection_aborted || code == std::errc::not_connected;
  } catch (...) {
    return false;
  }
}

bool refusesOnlyItsKey(std::string_view errorText) noexcept {
  if (errorText.starts_with("WRONGTYPE")) return true;
  // "NOPERM this user has no permissions to access one of the keys used as arguments" (6.x,
  // 7.0), "NOPERM No permissions to access a key" (7.2); not "... to run the 'xadd' command".
  return errorText.starts_with("NOPERM") && errorText.find("key") != std::string_view::npos;
}

}  // namespace ormanta::plugins::TulService
