#include "ormanta/host/Model.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "Internal.h"
#include "ormanta/skill/Element.h"

namespace ormanta::host {
namespace detail {

// ---- ChangeDispatcher --------------------------------------------------------------------

void ChangeDispatcher::add(Slot& slot, process::EventHandler& handler) {
  std::lock_guard lock(mutex_);
  slot.handlers.push_back(&handler);
  ++registrations_[&handler];
}

void ChangeDispatcher::remove(Slot& slot, process::EventHandler& handler) noexcept {
  std::lock_guard lock(mutex_);
  auto found = std::find(slot.handlers.begin(), slot.handlers.end(), &handler);
  if (found == slot.handlers.end()) return;
  slot.handlers.erase(found);
  auto count = registrations_.find(&handler);
  if (count != registrations_.end() && --count->second == 0) registrations_.erase(count);
}

void ChangeDispatcher::deliverLocked(std::span<Slot* const> changed) noexcept {
  // Handlers may remove handlers from inside their callbacks, so each list is walked as a copy
  // and every handler is checked to be still registered before it is called.
  thread_local std::vector<process::EventHandler*> snapshot;
  thread_local std::vector<process::EventHandler*> touched;
  const std::size_t touchedBase = touched.size();  // nested deliveries share the buffers
  for (Slot* slot : changed) {
    const std::size_t snapshotBase = snapshot.size();
    snapshot.insert(snapshot.end(), slot->handlers.begin(), slot->handlers.end());
    for (std::size_t i = snapshotBase; i < snapshot.size(); ++i) {
      process::EventHandler* handler = snapshot[i];
      if (std::find(slot->handlers.begin(), slot->handlers.end(), handler) == slot->handlers.end()) continue;
      try {
        handler->onChange();
      } catch (...) {
        // A handler's failure must not keep the others from hearing of the change.
      }
      if (std::find(touched.begin() + static_cast<std::ptrdiff_t>(touchedBase), touched.end(), handler) ==
          touched.end()) {
        touched.push_back(handler);
      }
    }
    snapshot.resize(snapshotBase);
  }
  for (std::size_t i = touchedBase; i < touched.size(); ++i) {
    if (registrations_.find(touched[i]) == registrations_.end()) continue;
    try {
      touched[i]->afterChanges();
    } catch (...) {
    }
  }
  touched.resize(touchedBase);
}

// ---- ValueCell ---------------------------------------------------------------------------

namespace {

bool fitsSigned(std::int64_t value, std::int32_t bits) {
  if (bits >= 64) return true;
  const std::int64_t limit = std::int64_t{1} << (bits - 1);
  return value >= -limit && value < limit;
}

bool fitsUnsigned(std::uint64_t value, std::int32_t bits) {
  return bits >= 64 || value < (std::uint64_t{1} << bits);
}

}  // namespace

std::error_code ValueCell::check(const data::Value& candidate) const noexcept {
  if (!data::holdsNativeType(candidate, type)) {
    const auto code = static_cast<std::int32_t>(type);
    if (code < 0 || code > 13 || type == data::NativeType::kBinary || type == data::NativeType::kStructure) {
      return data::HandleError::kNoValueType;
    }
    return data::HandleError::kTypeMismatch;
  }
  switch (type) {
    case data::NativeType::kInt:
      return fitsSigned(std::get<std::int64_t>(candidate), bitSize)
                 ? std::error_code{}
                 : make_error_code(data::HandleError::kOutOfRange);
    case data::NativeType::kUInt:
      return fitsUnsigned(std::get<std::uint64_t>(candidate), bitSize)
                 ? std::error_code{}
                 : make_error_code(data::HandleError::kOutOfRange);
    case data::NativeType::kDouble: {
      const double d = std::get<double>(candidate);
      if (bitSize == 32 && std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
        return data::HandleError::kOutOfRange;
      }
      return {};
    }
    default:
      return {};
  }
}

bool ValueCell::store(data::Value&& candidate) {
  if (type == data::NativeType::kDouble && bitSize == 32) {
    candidate = static_cast<double>(static_cast<float>(std::get<double>(candidate)));
  }
  std::lock_guard lock(mutex);
  // Doubles compare by their bits: -0 equals 0 and NaN equals nothing, yet a write of 0 over -0
  // must be stored (and a NaN over the same NaN is no change).
  const double* newDouble = std::get_if<double>(&candidate);
  const double* oldDouble = std::get_if<double>(&value);
  const bool same = newDouble && oldDouble
                        ? std::bit_cast<std::uint64_t>(*newDouble) == std::bit_cast<std::uint64_t>(*oldDouble)
                        : value == candidate;
  if (same) return false;
  value = std::move(candidate);
  return true;
}

std::error_code writeCell(const std::shared_ptr<ValueCell>& cell, data::Value&& value) {
  if (cell->removed.load()) return data::HandleError::kRemoved;
  if (const std::error_code error = cell->check(value)) return error;
  ChangeDispatcher::Slot* slot = &cell->slot;
  // Values are stored under the delivery lock so that handlers hear of changes in the order
  // in which they were stored.
  cell->dispatcher->deliver([&] {
    const bool changed = cell->store(std::move(value));
    return std::span<ChangeDispatcher::Slot* const>(&slot, changed ? 1 : 0);
  });
  return {};
}

// ---- CellSource --------------------------------------------------------------------------

std::error_code CellSource::hardError() const noexcept {
  if (cell_->removed.load()) return data::HandleError::kRemoved;
  const bool denied = direction_ == Direction::kRead ? cell_->accessMode == model::kAccessWrite
                                                     : cell_->accessMode == model::kAccessRead;
  return denied ? std::make_error_code(std::errc::permission_denied) : std::error_code{};
}

std::error_code CellSource::read(data::Value& out) const {
  if (direction_ != Direction::kRead) return std::make_error_code(std::errc::permission_denied);
  if (const std::error_code error = hardError()) return error;
  const auto code = static_cast<std::int32_t>(cell_->type);
  if (code < 0 || code > 13) return data::HandleError::kNoValueType;
  std::lock_guard lock(cell_->mutex);
  out = cell_->value;
  return {};
}

std::error_code CellSource::write(data::Value&& value) const {
  if (direction_ != Direction::kWrite) return std::make_error_code(std::errc::permission_denied);
  if (const std::error_code error = hardError()) return error;
  return writeCell(cell_, std::move(value));
}

std::error_code CellSource::addChangeHandler(process::EventHandler& handler) const {
  if (const std::error_code error = hardError()) return error;
  cell_->dispatcher->add(cell_->slot, handler);
  return {};
}

void CellSource::removeChangeHandler(process::EventHandler& handler) const noexcept {
  cell_->dispatcher->remove(cell_->slot, handler);
}

// ---- ElementNode -------------------------------------------------------------------------

const AttributeSlot* ElementNode::findAttribute(std::string_view attributeName) const noexcept {
  for (const AttributeSlot& slot : attributes) {
    if (slot.definition.name() == attributeName) return &slot;
  }
  return nullptr;
}

const AttributeSlot* ElementNode::findAttribute(const model::Attribute& definition) const noexcept {
  for (const AttributeSlot& slot : attributes) {
    if (slot.definition == definition) return &slot;
  }
  return nullptr;
}

const model::Attribute& nameAttribute() {
  static const model::Attribute attribute(
      utils::core::Uuid::fromRawData(
          {0x4e, 0x61, 0x6d, 0x65, 0x00, 0x00, 0x40, 0x00, 0x80, 0x00, 0, 0, 0, 0, 0, 1}),
      "name", data::DataType::kString, model::kAccessRead);
  return attribute;
}

const model::Attribute& keyAttribute() {
  static const model::Attribute attribute(
      utils::core::Uuid::fromRawData(
          {0x4b, 0x65, 0x79, 0x00, 0x00, 0x00, 0x40, 0x00, 0x80, 0x00, 0, 0, 0, 0, 0, 2}),
      "key", data::DataType::kString, model::kAccessRead);
  return attribute;
}

const model::Attribute& uuidAttribute() {
  static const model::Attribute attribute(
      utils::core::Uuid::fromRawData(
          {0x55, 0x55, 0x49, 0x44, 0x00, 0x00, 0x40, 0x00, 0x80, 0x00, 0, 0, 0, 0, 0, 3}),
      "UUID", data::DataType::kUuid, model::kAccessRead);
  return attribute;
}

// ---- ModelCore ---------------------------------------------------------------------------

ModelCore::ModelCore()
    : dispatcher_(std::make_shared<ChangeDispatcher>()), root_(std::make_shared<HostElement>()) {
  ElementNode& node = ElementNode::of(*root_);
  node.self = root_;
  node.name = "root";
  node.category = model::ElementCategory::kFolder;
}

ModelCore::NameBounds ModelCore::nameBounds() const noexcept {
  std::shared_lock lock(mutex_);
  return nameBounds_;
}

std::shared_ptr<model::Element> ModelCore::find(std::string_view primaryKey) const {
  std::shared_lock lock(mutex_);
  auto found = index_.find(primaryKey);
  return found == index_.end() ? nullptr : found->second;
}

void ModelCore::add(std::shared_ptr<HostElement> element, const model::Element* parent) {
  ElementNode& node = ElementNode::of(*element);
  std::unique_lock lock(mutex_);
  std::shared_ptr<model::Element> parentElement = root_;
  if (parent != nullptr && parent != root_.get()) {
    auto found = index_.find(std::string_view(ElementNode::of(*parent).primaryKey));
    if (found == index_.end() || found->second.get() != parent) {
      throw std::invalid_argument("the parent element is not part of this model");
    }
    parentElement = found->second;
  }
  if (index_.find(std::string_view(node.primaryKey)) != index_.end()) {
    throw std::invalid_argument("an element with primary key \"" + node.primaryKey + "\" already exists");
  }
  index_.emplace(node.primaryKey, element);
  nameBounds_.key = std::max(nameBounds_.key, node.primaryKey.size());
  for (const AttributeSlot& slot : node.attributes) {
    nameBounds_.attribute = std::max(nameBounds_.attribute, slot.definition.name().size());
  }
  ElementNode& parentNode = ElementNode::of(*parentElement);
  std::lock_guard childLock(parentNode.mutex);
  parentNode.children.push_back(std::move(element));
}

void ModelCore::removeFromIndexLocked(const model::Element& element) {
  ElementNode& node = ElementNode::of(element);
  std::vector<std::shared_ptr<model::Element>> children;
  {
    std::lock_guard lock(node.mutex);
    children.swap(node.children);
  }
  for (const auto& child : children) removeFromIndexLocked(*child);
  for (const AttributeSlot& slot : node.attributes) {
    if (slot.cell) slot.cell->removed.store(true);
  }
  index_.erase(node.primaryKey);
}

bool ModelCore::remove(std::string_view primaryKey) {
  std::unique_lock lock(mutex_);
  auto found = index_.find(primaryKey);
  if (found == index_.end()) return false;
  std::shared_ptr<model::Element> element = found->second;
  // The parent's key is everything before the last dot; the root has the top-level elements.
  const std::size_t dot = primaryKey.rfind('.');
  std::shared_ptr<model::Element> parent = root_;
  if (dot != std::string_view::npos) {
    auto parentFound = index_.find(primaryKey.substr(0, dot));
    if (parentFound != index_.end()) parent = parentFound->second;
  }
  {
    ElementNode& parentNode = ElementNode::of(*parent);
    std::lock_guard childLock(parentNode.mutex);
    std::erase(parentNode.children, element);
  }
  removeFromIndexLocked(*element);
  return true;
}

std::size_t ModelCore::size() const {
  std::shared_lock lock(mutex_);
  return index_.size();
}

std::shared_ptr<ValueCell> ModelCore::cell(std::string_view primaryKey, std::string_view attribute) const {
  std::shared_ptr<model::Element> element = find(primaryKey);
  if (!element) return nullptr;
  const AttributeSlot* slot = ElementNode::of(*element).findAttribute(attribute);
  return slot ? slot->cell : nullptr;
}

}  // namespace detail

// ---- Model -------------------------------------------------------------------------------

namespace {

std::int32_t normalisedBitSize(const AttributeSpec& description) {
  switch (description.nativeType) {
    case data::NativeType::kInt:
    case data::NativeType::kUInt:
      if (description.bitSize == 8 || description.bitSize == 16 || description.bitSize == 32 ||
          description.bitSize == 64)
        return description.bitSize;
      throw std::invalid_argument("attribute \"" + description.name +
                                  "\": integer bit size must be 8, 16, 32 or 64");
    case data::NativeType::kDouble:
      if (description.bitSize == 32 || description.bitSize == 64) return description.bitSize;
      throw std::invalid_argument("attribute \"" + description.name +
                                  "\": floating-point bit size must be 32 or 64");
    case data::NativeType::kBool:
      return 8;
    case data::NativeType::kTimePoint:
    case data::NativeType::kErrorCode:
      return 64;
    case data::NativeType::kUuid:
      return 128;
    case data::NativeType::kQuality:
    case data::NativeType::kCategory:
      return 8;
    default:
      return 0;
  }
}

data::Value zeroValue(data::NativeType type) {
  switch (type) {
    case data::NativeType::kBool:
      return false;
    case data::NativeType::kInt:
      return std::int64_t{0};
    case data::NativeType::kUInt:
      return std::uint64_t{0};
    case data::NativeType::kDouble:
      return 0.0;
    case data::NativeType::kString:
    case data::NativeType::kText:
    case data::NativeType::kPath:
    case data::NativeType::kName:
    case data::NativeType::kJson:
      return std::string();
    case data::NativeType::kTimePoint:
      return utils::chrono::TimePoint{};
    case data::NativeType::kUuid:
      return utils::core::Uuid{};
    case data::NativeType::kQuality:
      return data::Quality::kGood;
    case data::NativeType::kCategory:
      return model::ElementCategory::kGeneric;
    case data::NativeType::kErrorCode:
      return std::error_code{};
    default:
      return std::monostate{};
  }
}

std::shared_ptr<detail::ValueCell> makeCell(data::NativeType type, std::int32_t bitSize, std::int32_t access,
                                            const std::shared_ptr<detail::ChangeDispatcher>& dispatcher,
                                            data::Value initial) {
  auto cell = std::make_shared<detail::ValueCell>(type, bitSize, access, dispatcher);
  cell->value = std::move(initial);
  return cell;
}

data::DataType dataTypeOf(data::NativeType type) {
  switch (type) {
    case data::NativeType::kBool:
      return data::DataType::kBoolean;
    case data::NativeType::kInt:
      return data::DataType::kInteger;
    case data::NativeType::kUInt:
      return data::DataType::kUnsigned;
    case data::NativeType::kDouble:
      return data::DataType::kReal;
    case data::NativeType::kTimePoint:
      return data::DataType::kTimePoint;
    case data::NativeType::kUuid:
      return data::DataType::kUuid;
    case data::NativeType::kQuality:
      return data::DataType::kQuality;
    case data::NativeType::kCategory:
      return data::DataType::kCategory;
    case data::NativeType::kErrorCode:
      return data::DataType::kErrorCode;
    case data::NativeType::kString:
    case data::NativeType::kText:
    case data::NativeType::kPath:
    case data::NativeType::kName:
    case data::NativeType::kJson:
      return data::DataType::kString;
    default:
      return data::DataType::kBinary;
  }
}

void addOwnAttributes(detail::ElementNode& node, const std::shared_ptr<detail::ChangeDispatcher>& dispatcher,
                      utils::core::Uuid uuid) {
  node.attributes.push_back({detail::nameAttribute(), makeCell(data::NativeType::kString, 0,
                                                               model::kAccessRead, dispatcher, node.name)});
  node.attributes.push_back(
      {detail::keyAttribute(),
       makeCell(data::NativeType::kString, 0, model::kAccessRead, dispatcher, node.primaryKey)});
  node.attributes.push_back({detail::uuidAttribute(),
                             makeCell(data::NativeType::kUuid, 128, model::kAccessRead, dispatcher, uuid)});
}

}  // namespace

std::shared_ptr<Model> Model::create() {
  return std::shared_ptr<Model>(new Model(std::make_shared<detail::ModelCore>()));
}

Model::~Model() = default;

std::shared_ptr<model::Element> Model::root() const { return core_->root(); }

std::shared_ptr<model::Element> Model::addElement(const ElementSpec& description,
                                                  const model::Element* parent) {
  if (description.key.empty()) throw std::invalid_argument("an element key must not be empty");
  if (description.key.find('.') != std::string::npos) {
    throw std::invalid_argument("element key \"" + description.key + "\" must not contain '.'");
  }
  auto element = std::make_shared<detail::HostElement>();
  detail::ElementNode& node = detail::ElementNode::of(*element);
  // Nested keys are the dot-joined path; a parent's key never changes once it is in the model.
  node.primaryKey = (parent == nullptr || parent == core_->root().get())
                        ? description.key
                        : detail::ElementNode::of(*parent).primaryKey + "." + description.key;
  node.name = description.name.empty() ? description.key : description.name;
  node.category = description.category;
  node.self = element;
  node.model = core_;
  addOwnAttributes(node, core_->dispatcher(), utils::core::Uuid::generateRandom());

  for (const AttributeSpec& attribute : description.attributes) {
    if (attribute.name == "name" || attribute.name == "key" || attribute.name == "UUID") {
      throw std::invalid_argument("attribute name \"" + attribute.name + "\" is reserved for the host");
    }
    if (node.findAttribute(std::string_view(attribute.name)) != nullptr) {
      throw std::invalid_argument("attribute \"" + attribute.name + "\" is defined twice");
    }
    const std::int32_t bitSize = normalisedBitSize(attribute);
    data::Value initial = std::holds_alternative<std::monostate>(attribute.initial)
                              ? zeroValue(attribute.nativeType)
                              : attribute.initial;
    auto cell = makeCell(attribute.nativeType, bitSize, attribute.accessMode, core_->dispatcher(), {});
    if (!std::holds_alternative<std::monostate>(initial)) {
      if (const std::error_code error = cell->check(initial)) {
        throw std::invalid_argument("attribute \"" + attribute.name +
                                    "\": initial value refused: " + error.message());
      }
      cell->store(std::move(initial));
    }
    node.attributes.push_back(
        {model::Attribute(attribute.uuid.value_or(utils::core::Uuid::generateRandom()), attribute.name,
                          attribute.dataType.value_or(dataTypeOf(attribute.nativeType)),
                          attribute.accessMode),
         std::move(cell)});
  }
  // Only now does anyone else see the element: its attributes never change afterwards.
  core_->add(element, parent);
  return element;
}

bool Model::removeElement(std::string_view primaryKey) { return core_->remove(primaryKey); }

std::shared_ptr<model::Element> Model::findElement(std::string_view primaryKey) const {
  return core_->find(primaryKey);
}

std::size_t Model::elementCount() const { return core_->size(); }

utils::Expected<data::Value> Model::readValue(std::string_view primaryKey, std::string_view attribute) const {
  auto cell = core_->cell(primaryKey, attribute);
  if (!cell) return utils::Unexpected{make_error_code(data::HandleError::kNoAttribute)};
  std::lock_guard lock(cell->mutex);
  return cell->value;
}

std::error_code Model::setValue(std::string_view primaryKey, std::string_view attribute, data::Value value) {
  auto cell = core_->cell(primaryKey, attribute);
  if (!cell) return data::HandleError::kNoAttribute;
  return detail::writeCell(cell, std::move(value));
}

std::error_code Model::ChangeBatch::add(std::string_view primaryKey, std::string_view attribute,
                                        data::Value value) {
  auto cell = core_->cell(primaryKey, attribute);
  if (!cell) return data::HandleError::kNoAttribute;
  if (const std::error_code error = cell->check(value)) return error;
  changes_.emplace_back(std::move(cell), std::move(value));
  return {};
}

void Model::ChangeBatch::commit() {
  std::vector<detail::ChangeDispatcher::Slot*> changed;
  changed.reserve(changes_.size());
  core_->dispatcher()->deliver([&] {
    for (auto& [cell, value] : changes_) {
      if (!cell->removed.load() && cell->store(std::move(value))) changed.push_back(&cell->slot);
    }
    return std::span<detail::ChangeDispatcher::Slot* const>(changed);
  });
  changes_.clear();
}

void Model::bind(const std::shared_ptr<skill::Element>& element, std::string primaryKey) const {
  detail::ElementNode& node = detail::ElementNode::of(*element);
  std::lock_guard lock(node.mutex);
  node.primaryKey = std::move(primaryKey);
  node.self = element;
  node.model = core_;
}

}  // namespace ormanta::host
