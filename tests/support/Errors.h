#pragma once

#include <string>
#include <system_error>

namespace tul::test {

// The what() of the Exception that call throws, "(nothing thrown)" when it throws nothing;
// exceptions of other types pass through and fail the test.
template <class Exception, class Call>
std::string messageOf(Call&& call) {
  try {
    call();
  } catch (const Exception& error) {
    return error.what();
  }
  return "(nothing thrown)";
}

// The code of the std::system_error that call throws; a default code when it throws nothing.
template <class Call>
std::error_code systemErrorOf(Call&& call) {
  try {
    call();
  } catch (const std::system_error& error) {
    return error.code();
  }
  return {};
}

}  // namespace tul::test
