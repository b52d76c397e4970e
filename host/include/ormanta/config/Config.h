#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace ormanta::config {

// What the host tells an element while it loads its configuration.
class Context {
 public:
  Context() = default;
  explicit Context(std::string elementKey) : elementKey_(std::move(elementKey)) {}
  const std::string& elementKey() const noexcept { return elementKey_; }

 private:
  std::string elementKey_;
};

// A configuration that names a parameter the element does not know.
class UnknownParameterError : public std::invalid_argument {
 public:
  explicit UnknownParameterError(std::string_view name);
  const std::string& parameter() const noexcept { return parameter_; }

 private:
  std::string parameter_;
};

// Throws UnknownParameterError: "unknown configuration parameter \"<name>\"".
[[noreturn]] void throwUnknownParameterError(std::string_view name);

}  // namespace ormanta::config
