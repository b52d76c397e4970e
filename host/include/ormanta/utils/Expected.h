#pragma once

#include <system_error>
#include <utility>
#include <variant>

namespace ormanta::utils {

// Wraps an error code so that Expected<std::error_code> stays unambiguous.
struct Unexpected {
  std::error_code error;
};

// A value or the error code that explains why there is none.
template <class T>
class Expected {
 public:
  Expected(const T& value) : state_(std::in_place_index<0>, value) {}              // NOLINT
  Expected(T&& value) : state_(std::in_place_index<0>, std::move(value)) {}        // NOLINT
  Expected(Unexpected failure) : state_(std::in_place_index<1>, failure.error) {}  // NOLINT

  bool hasValue() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return hasValue(); }

  // Throws std::system_error with the stored code when there is no value.
  T& value() & {
    check();
    return std::get<0>(state_);
  }
  const T& value() const& {
    check();
    return std::get<0>(state_);
  }
  T&& value() && {
    check();
    return std::get<0>(std::move(state_));
  }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // The failure's code; a default (value 0, system category) code when there is a value.
  std::error_code error() const noexcept { return hasValue() ? std::error_code{} : std::get<1>(state_); }

 private:
  void check() const {
    if (!hasValue()) throw std::system_error(std::get<1>(state_));
  }

  std::variant<T, std::error_code> state_;
};

}  // namespace ormanta::utils
