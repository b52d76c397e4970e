#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ormanta/data/Handles.h"
#include "ormanta/model/Attribute.h"
#include "ormanta/model/ElementCategory.h"
#include "ormanta/process/Event.h"
#include "ormanta/process/Task.h"
#include "ormanta/utils/FunctionRef.h"

namespace ormanta::host::detail {
struct ElementNode;
class ModelCore;
}  // namespace ormanta::host::detail

namespace ormanta::model {

class Element;

// Enumeration callbacks return true to stop the enumeration; the enumeration then returns true.
using ForEachElementFunction = utils::FunctionRef<bool(const Element&)>;
using ForEachAttributeFunction = utils::FunctionRef<bool(const Attribute&)>;
using ForEachEventFunction =
    utils::FunctionRef<bool(process::Event::Role, const std::shared_ptr<process::Event>&)>;
using ForEachTaskFunction =
    utils::FunctionRef<bool(process::Task::Role, const std::shared_ptr<process::Task>&)>;

// An element of the host's model. Elements form a tree below the model's root; each has a
// primary key unique in its model (for nested elements the dot-joined keys of the path,
// "Area1.Boiler2"), the host's own attributes "name", "key" and "UUID", and attributes of
// its own. Elements are owned by the model; enumerations and handle lookups may be called
// from any thread while the model changes.
class Element {
 public:
  virtual ~Element();
  Element(const Element&) = delete;
  Element& operator=(const Element&) = delete;

  bool forEachChildElement(ForEachElementFunction function) const {
    return forEachChildElementInternal(function);
  }
  bool forEachAttribute(ForEachAttributeFunction function) const {
    return forEachAttributeInternal(function);
  }

  const std::string& primaryKey() const noexcept;
  ElementCategory category() const noexcept;

  // The handle for one of this element's attributes. For an attribute the element does not
  // have, a handle whose hardError() is HandleError::kNoAttribute.
  data::ReadHandle attributeReadHandle(const Attribute& attribute) const;
  data::WriteHandle attributeWriteHandle(const Attribute& attribute) const;

  // Shared ownership of this element as its model (or its creator) holds it; null if none.
  std::shared_ptr<const Element> sharedElement() const noexcept;

 protected:
  Element();

  // Base: the children and attributes the host gave the element.
  virtual bool forEachChildElementInternal(ForEachElementFunction function) const;
  virtual bool forEachAttributeInternal(ForEachAttributeFunction function) const;
  // Read-handle lookup: an empty optional for an attribute of another element.
  virtual std::optional<data::ReadHandle> makeReadHandle(const Attribute& attribute) const;
  virtual std::optional<data::WriteHandle> makeWriteHandle(const Attribute& attribute) const;

 private:
  friend class host::detail::ModelCore;
  friend struct host::detail::ElementNode;
  std::unique_ptr<host::detail::ElementNode> node_;
};

// An attribute together with the element that has it; tests false when there is none.
class ElementAttribute {
 public:
  ElementAttribute() = default;
  ElementAttribute(std::shared_ptr<const Element> element, Attribute attribute)
      : element_(std::move(element)), attribute_(std::move(attribute)) {}

  explicit operator bool() const noexcept { return element_ != nullptr; }
  const std::shared_ptr<const Element>& element() const noexcept { return element_; }
  const Attribute& attribute() const noexcept { return attribute_; }

  data::ReadHandle readHandle() const;
  data::WriteHandle writeHandle() const;

 private:
  std::shared_ptr<const Element> element_;
  Attribute attribute_;
};

}  // namespace ormanta::model
