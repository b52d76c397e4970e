#include "ormanta/data/Handles.h"

#include <stdexcept>

#include "ormanta/process/EventHandler.h"

namespace ormanta::data {
namespace detail {

ValueSource::~ValueSource() = default;

std::error_code ValueSource::write(Value&&) const {
  return std::make_error_code(std::errc::permission_denied);
}

std::error_code ValueSource::addChangeHandler(process::EventHandler&) const {
  return HandleError::kNotObservable;
}

void ValueSource::removeChangeHandler(process::EventHandler&) const noexcept {}

}  // namespace detail

namespace {

// A field of a memory block's record; the field holds the native type's value type.
class MemoryFieldSource final : public detail::ValueSource {
 public:
  MemoryFieldSource(memory::MemoryHandle field, NativeType type) : field_(std::move(field)), type_(type) {
    switch (type) {
      case NativeType::kBool:
      case NativeType::kInt:
      case NativeType::kUInt:
      case NativeType::kDouble:
      case NativeType::kTimePoint:
      case NativeType::kUuid:
      case NativeType::kQuality:
      case NativeType::kCategory:
      case NativeType::kErrorCode:
        return;
      default:
        throw std::invalid_argument("a memory block field cannot hold this native type");
    }
  }

  NativeType nativeType() const noexcept override { return type_; }
  std::int32_t bitSize() const noexcept override {
    switch (type_) {
      case NativeType::kBool:
      case NativeType::kQuality:
      case NativeType::kCategory:
        return 8;
      case NativeType::kUuid:
        return 128;
      default:
        return 64;
    }
  }
  std::error_code hardError() const noexcept override {
    return field_ ? std::error_code{} : make_error_code(HandleError::kNoAttribute);
  }

  std::error_code read(Value& out) const override {
    switch (type_) {
      case NativeType::kBool:
        return readAs<bool>(out);
      case NativeType::kInt:
        return readAs<std::int64_t>(out);
      case NativeType::kUInt:
        return readAs<std::uint64_t>(out);
      case NativeType::kDouble:
        return readAs<double>(out);
      case NativeType::kTimePoint:
        return readAs<utils::chrono::TimePoint>(out);
      case NativeType::kUuid:
        return readAs<utils::core::Uuid>(out);
      case NativeType::kQuality:
        return readAs<Quality>(out);
      case NativeType::kCategory:
        return readAs<model::ElementCategory>(out);
      case NativeType::kErrorCode:
        return readAs<std::error_code>(out);
      default:
        return HandleError::kNoValueType;
    }
  }

  std::error_code addChangeHandler(process::EventHandler& handler) const override {
    return field_.addChangeHandler(handler) ? std::error_code{} : make_error_code(HandleError::kNoAttribute);
  }
  void removeChangeHandler(process::EventHandler& handler) const noexcept override {
    field_.removeChangeHandler(handler);
  }

 private:
  template <class T>
  std::error_code readAs(Value& out) const {
    static_assert(std::is_trivially_copyable_v<T>);
    T value{};
    if (!field_.readBytes(&value, sizeof(T))) return HandleError::kNoAttribute;
    out = value;
    return {};
  }

  memory::MemoryHandle field_;
  NativeType type_;
};

// A constant text the handle shares ownership of.
class TextSource final : public detail::ValueSource {
 public:
  explicit TextSource(std::shared_ptr<const std::string> text) : text_(std::move(text)) {}
  NativeType nativeType() const noexcept override { return NativeType::kString; }
  std::int32_t bitSize() const noexcept override { return 0; }
  std::error_code hardError() const noexcept override {
    return text_ ? std::error_code{} : make_error_code(HandleError::kNoAttribute);
  }
  std::error_code read(Value& out) const override {
    if (!text_) return HandleError::kNoAttribute;
    out = *text_;
    return {};
  }

 private:
  std::shared_ptr<const std::string> text_;
};

}  // namespace

ReadHandle::ReadHandle(const memory::MemoryHandle& field, NativeType type)
    : source_(std::make_shared<MemoryFieldSource>(field, type)) {}

ReadHandle::ReadHandle(std::shared_ptr<const std::string> text)
    : source_(std::make_shared<TextSource>(std::move(text))) {}

NativeType ReadHandle::nativeType() const noexcept {
  return source_ ? source_->nativeType() : NativeType::kBinary;
}

std::int32_t ReadHandle::bitSize() const noexcept { return source_ ? source_->bitSize() : 0; }

std::error_code ReadHandle::hardError() const noexcept {
  return source_ ? source_->hardError() : make_error_code(HandleError::kNoAttribute);
}

std::error_code ReadHandle::readValue(Value& out) const {
  return source_ ? source_->read(out) : make_error_code(HandleError::kNoAttribute);
}

std::error_code ReadHandle::addChangeHandler(process::EventHandler& handler) const {
  return source_ ? source_->addChangeHandler(handler) : make_error_code(HandleError::kNoAttribute);
}

void ReadHandle::removeChangeHandler(process::EventHandler& handler) const noexcept {
  if (source_) source_->removeChangeHandler(handler);
}

NativeType WriteHandle::nativeType() const noexcept {
  return source_ ? source_->nativeType() : NativeType::kBinary;
}

std::int32_t WriteHandle::bitSize() const noexcept { return source_ ? source_->bitSize() : 0; }

std::error_code WriteHandle::hardError() const noexcept {
  return source_ ? source_->hardError() : make_error_code(HandleError::kNoAttribute);
}

std::error_code WriteHandle::writeValue(Value&& value) const {
  return source_ ? source_->write(std::move(value)) : make_error_code(HandleError::kNoAttribute);
}

}  // namespace ormanta::data
