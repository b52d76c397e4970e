#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

namespace ormanta::utils::string {

namespace detail {
// Throws std::length_error "ormanta::utils::string::BasicStaticString: size of <size>
// exceeds capacity of <capacity>".
[[noreturn]] void throwCapacityExceeded(std::size_t size, std::size_t capacity);
}  // namespace detail

// Text of fixed capacity that lives inline (no allocation); too long a text is refused
// with std::length_error.
template <class CharT, std::size_t Capacity>
class BasicStaticString {
 public:
  BasicStaticString() noexcept = default;
  explicit BasicStaticString(std::basic_string_view<CharT> text) { assign(text); }

  void assign(std::basic_string_view<CharT> text) {
    if (text.size() > Capacity) detail::throwCapacityExceeded(text.size(), Capacity);
    text.copy(data_, text.size());
    size_ = text.size();
  }

  // formatter(buffer, capacity) writes at most capacity characters and returns the length
  // its text needs (the contract of the host's formatNumber and formatIsoDateTime).
  template <class Formatter>
  void assignFormatted(Formatter&& formatter) {
    const std::size_t needed = std::forward<Formatter>(formatter)(data_, Capacity);
    if (needed > Capacity) {
      size_ = 0;
      detail::throwCapacityExceeded(needed, Capacity);
    }
    size_ = needed;
  }

  const CharT* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  static constexpr std::size_t capacity() noexcept { return Capacity; }
  std::basic_string_view<CharT> view() const noexcept { return {data_, size_}; }
  operator std::basic_string_view<CharT>() const noexcept { return view(); }  // NOLINT
  void clear() noexcept { size_ = 0; }

 private:
  CharT data_[Capacity];
  std::size_t size_ = 0;
};

template <std::size_t Capacity>
using StaticString = BasicStaticString<char, Capacity>;

}  // namespace ormanta::utils::string
