#include "ormanta/skill/Element.h"

#include "Internal.h"
#include "ormanta/config/Config.h"

namespace ormanta {
namespace model {

Element::Element() : node_(std::make_unique<host::detail::ElementNode>()) {}

Element::~Element() = default;

const std::string& Element::primaryKey() const noexcept { return node_->primaryKey; }

ElementCategory Element::category() const noexcept { return node_->category; }

std::shared_ptr<const Element> Element::sharedElement() const noexcept {
  std::lock_guard lock(node_->mutex);
  return node_->self.lock();
}

bool Element::forEachChildElementInternal(ForEachElementFunction function) const {
  std::vector<std::shared_ptr<Element>> children;
  {
    // A copy, so that the model may change while the caller walks it.
    std::lock_guard lock(node_->mutex);
    children = node_->children;
  }
  for (const auto& child : children) {
    if (function(*child)) return true;
  }
  return false;
}

bool Element::forEachAttributeInternal(ForEachAttributeFunction function) const {
  for (const auto& slot : node_->attributes) {
    if (function(slot.definition)) return true;
  }
  return false;
}

std::optional<data::ReadHandle> Element::makeReadHandle(const Attribute& attribute) const {
  const host::detail::AttributeSlot* slot = node_->findAttribute(attribute);
  if (slot == nullptr || !slot->cell) return std::nullopt;
  return data::ReadHandle(
      std::make_shared<host::detail::CellSource>(slot->cell, host::detail::CellSource::Direction::kRead));
}

std::optional<data::WriteHandle> Element::makeWriteHandle(const Attribute& attribute) const {
  const host::detail::AttributeSlot* slot = node_->findAttribute(attribute);
  if (slot == nullptr || !slot->cell) return std::nullopt;
  return data::WriteHandle(
      std::make_shared<host::detail::CellSource>(slot->cell, host::detail::CellSource::Direction::kWrite));
}

data::ReadHandle Element::attributeReadHandle(const Attribute& attribute) const {
  std::optional<data::ReadHandle> handle = makeReadHandle(attribute);
  return handle ? std::move(*handle) : data::ReadHandle();
}

data::WriteHandle Element::attributeWriteHandle(const Attribute& attribute) const {
  std::optional<data::WriteHandle> handle = makeWriteHandle(attribute);
  return handle ? std::move(*handle) : data::WriteHandle();
}

data::ReadHandle ElementAttribute::readHandle() const {
  return element_ ? element_->attributeReadHandle(attribute_) : data::ReadHandle();
}

data::WriteHandle ElementAttribute::writeHandle() const {
  return element_ ? element_->attributeWriteHandle(attribute_) : data::WriteHandle();
}

}  // namespace model

namespace skill {

Element::Class::~Class() = default;

Element::Element() = default;

Element::~Element() = default;

const void* Element::queryExtension(const utils::core::Uuid&) const { return nullptr; }

void Element::loadConfiguration(const utils::json::decoder::Object& configuration, const config::Context&) {
  for (auto cursor = configuration.begin(); cursor != configuration.end(); configuration.step(cursor)) {
    config::throwUnknownParameterError((*cursor).name());
  }
}

void Element::realize() {}
void Element::postRealize() {}
void Element::prepare() {}
void Element::postPrepare() {}
void Element::preCleanup() {}
void Element::cleanup() {}

bool Element::forEachEvent(model::ForEachEventFunction) const { return false; }
bool Element::forEachTask(model::ForEachTaskFunction) const { return false; }

std::optional<model::Attribute> Element::resolveAttributeByUuid(const utils::core::Uuid& uuid) const {
  std::optional<model::Attribute> result;
  forEachAttribute([&](const model::Attribute& attribute) {
    if (attribute.uuid() != uuid) return false;
    result = attribute;
    return true;
  });
  return result;
}

std::shared_ptr<process::Event> Element::resolveEventByRole(process::Event::Role role) const {
  std::shared_ptr<process::Event> result;
  forEachEvent([&](process::Event::Role candidate, const std::shared_ptr<process::Event>& event) {
    if (candidate != role) return false;
    result = event;
    return true;
  });
  return result;
}

std::shared_ptr<process::Task> Element::resolveTaskByRole(process::Task::Role role) const {
  std::shared_ptr<process::Task> result;
  forEachTask([&](process::Task::Role candidate, const std::shared_ptr<process::Task>& task) {
    if (candidate != role) return false;
    result = task;
    return true;
  });
  return result;
}

std::int32_t Element::interfaceRevision() const { return kInterfaceRevision; }

std::shared_ptr<model::Element> Element::rootElement() const {
  auto& node = host::detail::ElementNode::of(*this);
  std::shared_ptr<host::detail::ModelCore> model;
  {
    std::lock_guard lock(node.mutex);
    model = node.model.lock();
  }
  return model ? std::shared_ptr<model::Element>(model->root()) : nullptr;
}

model::ElementAttribute Element::findAttribute(std::string_view name) const {
  auto& node = host::detail::ElementNode::of(*this);
  std::shared_ptr<host::detail::ModelCore> model;
  {
    std::lock_guard lock(node.mutex);
    model = node.model.lock();
  }
  if (!model) return {};
  // Keys are dot-joined paths and attribute names may hold dots too: try every split that can
  // match, the longest key first. The bounds keep a long name from costing a lookup per dot.
  const host::detail::ModelCore::NameBounds bounds = model->nameBounds();
  if (name.size() > bounds.key + 1 + bounds.attribute) return {};
  for (std::size_t dot = name.rfind('.', bounds.key); dot != std::string_view::npos && dot > 0;
       dot = name.rfind('.', dot - 1)) {
    if (name.size() - dot - 1 > bounds.attribute) break;  // splits further left only lengthen it
    std::shared_ptr<model::Element> element = model->find(name.substr(0, dot));
    if (!element) continue;
    const host::detail::AttributeSlot* slot =
        host::detail::ElementNode::of(*element).findAttribute(name.substr(dot + 1));
    if (slot != nullptr) return model::ElementAttribute(std::move(element), slot->definition);
  }
  return {};
}

}  // namespace skill
}  // namespace ormanta
