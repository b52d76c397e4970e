#pragma once

#include <system_error>

namespace ormanta::utils::eh {

// The error code of the exception in flight (call it inside a catch block):
// - std::system_error (and std::filesystem errors, std::future_error): its own code;
// - any other std::exception: a code of exceptionCategory() whose message() is the
//   exception's what() text, so that state attributes show the real reason;
// - anything else, or no exception in flight: the code whose message is "unknown exception".
// Equal texts give equal codes. Never throws.
std::error_code currentErrorCode() noexcept;

// The host category of exception texts ("ormanta.exception"). Its table keeps at most
// kMaxExceptionTexts distinct texts for the life of the process; past that, new texts share
// one code whose message says so.
const std::error_category& exceptionCategory() noexcept;
inline constexpr int kMaxExceptionTexts = 65536;

}  // namespace ormanta::utils::eh
