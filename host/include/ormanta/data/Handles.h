#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

#include "ormanta/data/Types.h"
#include "ormanta/memory/MemoryBlock.h"
#include "ormanta/utils/Expected.h"

namespace ormanta::process {
class EventHandler;
}

namespace ormanta::data {

namespace detail {
// Host-internal: what a handle reads from and writes to. Implementations are thread-safe:
// a value written on one thread is read whole on every other.
class ValueSource {
 public:
  virtual ~ValueSource();
  virtual NativeType nativeType() const noexcept = 0;
  virtual std::int32_t bitSize() const noexcept = 0;
  // Value 0 when the source can be used in its direction.
  virtual std::error_code hardError() const noexcept = 0;
  virtual std::error_code read(Value& out) const = 0;
  // Default: std::errc::permission_denied.
  virtual std::error_code write(Value&& value) const;
  // Default: HandleError::kNotObservable.
  virtual std::error_code addChangeHandler(process::EventHandler& handler) const;
  virtual void removeChangeHandler(process::EventHandler& handler) const noexcept;
};

template <class T>
inline constexpr bool kIsValueType =
    std::is_same_v<T, bool> || std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t> ||
    std::is_same_v<T, double> || std::is_same_v<T, std::string> ||
    std::is_same_v<T, utils::chrono::TimePoint> || std::is_same_v<T, utils::core::Uuid> ||
    std::is_same_v<T, Quality> || std::is_same_v<T, model::ElementCategory> ||
    std::is_same_v<T, std::error_code>;
}  // namespace detail

// Reads one attribute's value. Cheap to copy; copies share the source. A handle whose
// attribute is gone, or that was never bound, reports an error instead of a value.
// Any thread may use a handle.
class ReadHandle {
 public:
  ReadHandle() noexcept = default;  // unbound: hardError() is HandleError::kNoAttribute
  explicit ReadHandle(std::shared_ptr<const detail::ValueSource> source) noexcept
      : source_(std::move(source)) {}
  // Over a field of a memory block's record; type must be a trivially copyable value type
  // (every native type but the texts).
  ReadHandle(const memory::MemoryHandle& field, NativeType type);
  // Over a constant text that the handle shares ownership of.
  explicit ReadHandle(std::shared_ptr<const std::string> text);

  NativeType nativeType() const noexcept;
  std::int32_t bitSize() const noexcept;
  std::error_code hardError() const noexcept;

  // The value, or why there is none (hard error, type mismatch, access refused, removed).
  template <class T>
  utils::Expected<T> read() const {
    static_assert(detail::kIsValueType<T>, "not a value type of any native type");
    Value value;
    if (const std::error_code error = readValue(value)) return utils::Unexpected{error};
    if (T* typed = std::get_if<T>(&value)) return std::move(*typed);
    return utils::Unexpected{make_error_code(HandleError::kTypeMismatch)};
  }
  std::error_code readValue(Value& out) const;

  // The handler is called for every later change of the value until it is removed; after
  // removeChangeHandler() returns it is never called again. Registering a handler twice
  // gives two registrations.
  std::error_code addChangeHandler(process::EventHandler& handler) const;
  void removeChangeHandler(process::EventHandler& handler) const noexcept;

 private:
  std::shared_ptr<const detail::ValueSource> source_;
};

// Writes one attribute's value. Writes of a type other than the native type's value type
// give HandleError::kTypeMismatch; values that do not fit the bit size give kOutOfRange; an
// attribute whose access mode forbids writing gives std::errc::permission_denied.
class WriteHandle {
 public:
  WriteHandle() noexcept = default;
  explicit WriteHandle(std::shared_ptr<const detail::ValueSource> source) noexcept
      : source_(std::move(source)) {}

  NativeType nativeType() const noexcept;
  std::int32_t bitSize() const noexcept;
  std::error_code hardError() const noexcept;

  template <class T>
  std::error_code write(T value) const {
    static_assert(detail::kIsValueType<T>, "not a value type of any native type");
    return writeValue(Value(std::move(value)));
  }
  std::error_code write(std::string_view text) const { return writeValue(Value(std::string(text))); }
  std::error_code write(const char* text) const { return write(std::string_view(text)); }
  std::error_code writeValue(Value&& value) const;

 private:
  std::shared_ptr<const detail::ValueSource> source_;
};

}  // namespace ormanta::data
