#pragma once

// How the service tells failures of the Redis client apart. Pure functions; any thread.

#include <exception>
#include <string_view>

namespace ormanta::plugins::TulService {

// The failure is the server (or the path to it) closing the connection: a reset, an end of
// stream or a broken pipe, not a time-out, a refusal or a stop.
bool isConnectionClosed(const std::exception_ptr& failure) noexcept;

// An error reply that refuses one key and leaves the connection fit for other keys: WRONGTYPE,
// or an ACL refusal of the key (NOPERM ... key ...). Not OOM, not a refused command.
bool refusesOnlyItsKey(std::string_view errorText) noexcept;

}  // namespace ormanta::plugins::TulService
