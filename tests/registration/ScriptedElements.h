#pragma once

// Elements that behave as a host may but as our host model never does: attributes with
// handles chosen by the test, roots whose children come from several models, elements whose
// enumeration throws. Their own primary key is always empty.

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "ormanta/data/Handles.h"
#include "ormanta/model/Element.h"
#include "ormanta/utils/core/Uuid.h"

namespace tul::test {

// A value source that only describes itself.
class DescribedSource final : public ormanta::data::detail::ValueSource {
 public:
  DescribedSource(ormanta::data::NativeType type, std::int32_t bitSize, std::error_code hardError = {})
      : type_(type), bitSize_(bitSize), hardError_(hardError) {}
  ormanta::data::NativeType nativeType() const noexcept override { return type_; }
  std::int32_t bitSize() const noexcept override { return bitSize_; }
  std::error_code hardError() const noexcept override { return hardError_; }
  std::error_code read(ormanta::data::Value&) const override { return hardError_; }

 private:
  ormanta::data::NativeType type_;
  std::int32_t bitSize_;
  std::error_code hardError_;
};

inline ormanta::data::ReadHandle readHandle(ormanta::data::NativeType type, std::int32_t bitSize,
                                            std::error_code hardError = {}) {
  return ormanta::data::ReadHandle(std::make_shared<DescribedSource>(type, bitSize, hardError));
}

inline ormanta::data::WriteHandle writeHandle(ormanta::data::NativeType type, std::int32_t bitSize,
                                              std::error_code hardError = {}) {
  return ormanta::data::WriteHandle(std::make_shared<DescribedSource>(type, bitSize, hardError));
}

inline std::error_code denied() { return std::make_error_code(std::errc::permission_denied); }

// An element whose attributes, handles and children the test gives.
class ScriptedElement final : public ormanta::model::Element {
 public:
  struct Slot {
    ormanta::model::Attribute definition;
    std::optional<ormanta::data::ReadHandle> read;    // empty: the lookup finds nothing
    std::optional<ormanta::data::WriteHandle> write;
  };

  ScriptedElement() = default;

  // An attribute with the given access mode and handles.
  ScriptedElement& add(std::string name, std::int32_t accessMode, std::optional<ormanta::data::ReadHandle> read,
                       std::optional<ormanta::data::WriteHandle> write = std::nullopt) {
    slots_.push_back({ormanta::model::Attribute(ormanta::utils::core::Uuid::generateRandom(), std::move(name),
                                                ormanta::data::DataType::kString, accessMode),
                      std::move(read), std::move(write)});
    return *this;
  }

  std::vector<std::shared_ptr<ormanta::model::Element>> children;

 protected:
  bool forEachChildElementInternal(ormanta::model::ForEachElementFunction function) const override {
    for (const auto& child : children) {
      if (function(*child)) return true;
    }
    return false;
  }

  bool forEachAttributeInternal(ormanta::model::ForEachAttributeFunction function) const override {
    for (const Slot& slot : slots_) {
      if (function(slot.definition)) return true;
    }
    return false;
  }

  std::optional<ormanta::data::ReadHandle> makeReadHandle(const ormanta::model::Attribute& attribute) const override {
    const Slot* slot = find(attribute);
    return slot ? slot->read : std::nullopt;
  }

  std::optional<ormanta::data::WriteHandle> makeWriteHandle(const ormanta::model::Attribute& attribute) const override {
    const Slot* slot = find(attribute);
    return slot ? slot->write : std::nullopt;
  }

 private:
  const Slot* find(const ormanta::model::Attribute& attribute) const {
    for (const Slot& slot : slots_) {
      if (slot.definition == attribute) return &slot;
    }
    return nullptr;
  }

  std::vector<Slot> slots_;
};

// An element whose attribute enumeration fails, as a host's might while its model is torn down.
class ThrowingElement final : public ormanta::model::Element {
 public:
  explicit ThrowingElement(std::string message) : message_(std::move(message)) {}

 protected:
  bool forEachAttributeInternal(ormanta::model::ForEachAttributeFunction) const override {
    throw std::runtime_error(message_);
  }

 private:
  std::string message_;
};

}  // namespace tul::test
