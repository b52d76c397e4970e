#pragma once

// Decimal text of a number in an inline buffer, for command arguments and published values
// without a heap allocation. Plain data: no thread affinity.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "ormanta/utils/numeric/FormatNumber.h"
#include "ormanta/utils/string/BasicStaticString.h"

namespace ormanta::plugins::TulService {

template <class T>
concept FormattableNumber = std::is_arithmetic_v<T> && !std::same_as<T, bool> && !std::same_as<T, char>;

// Capacities in use: 20 (any 64-bit integer), 24 (any double), 46 (ISO time points, via
// assignFormatted with formatIsoDateTime). A text longer than Capacity throws the host's
// std::length_error "ormanta::utils::string::BasicStaticString: size of N exceeds capacity of C".
template <std::size_t Capacity>
class StaticNumberText : public utils::string::BasicStaticString<char, Capacity> {
  using Base = utils::string::BasicStaticString<char, Capacity>;

 public:
  StaticNumberText() noexcept = default;

  template <FormattableNumber Number>
  explicit StaticNumberText(Number value) {
    assign(value);
  }

  using Base::assign;

  template <FormattableNumber Number>
  void assign(Number value) {
    this->assignFormatted([value](char* buffer, std::size_t capacity) {
      return utils::numeric::formatNumber(buffer, capacity, widen(value));
    });
  }

 private:
  // formatNumber has exactly three overloads; every other arithmetic type maps onto one.
  template <class Number>
  static auto widen(Number value) noexcept {
    if constexpr (std::is_floating_point_v<Number>) {
      return static_cast<double>(value);
    } else if constexpr (std::is_signed_v<Number>) {
      return static_cast<std::int64_t>(value);
    } else {
      return static_cast<std::uint64_t>(value);
    }
  }
};

}  // namespace ormanta::plugins::TulService
