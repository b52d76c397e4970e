#pragma once

// Host-internal pieces shared by the framework's sources: change delivery, value cells and
// the model's element nodes. Nothing here is visible to plug-ins.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ormanta/data/Handles.h"
#include "ormanta/data/Types.h"
#include "ormanta/model/Attribute.h"
#include "ormanta/model/Element.h"
#include "ormanta/process/EventHandler.h"

namespace ormanta::host::detail {

// The change handlers of a group of values, and the delivery of their change batches.
//
// One batch is delivered at a time, under a recursive mutex that add() and remove() take
// too: so after remove() returns, the handler is never called again, and a handler may add
// or remove handlers from inside its callbacks (on the same thread) without deadlock.
class ChangeDispatcher {
 public:
  // One value's handlers; guarded by the dispatcher's mutex.
  struct Slot {
    std::vector<process::EventHandler*> handlers;
  };

  void add(Slot& slot, process::EventHandler& handler);
  void remove(Slot& slot, process::EventHandler& handler) noexcept;

  // Under the delivery lock, runs apply(), which stores the new values and returns the slots
  // that changed; then delivers: onChange() to each handler of each changed slot, then
  // afterChanges() once to every handler that got an onChange() and is still registered.
  template <class Apply>
  void deliver(Apply&& apply) {
    std::lock_guard lock(mutex_);
    deliverLocked(apply());
  }

  std::recursive_mutex& mutex() noexcept { return mutex_; }

 private:
  void deliverLocked(std::span<Slot* const> changed) noexcept;

  std::recursive_mutex mutex_;
  std::unordered_map<process::EventHandler*, std::size_t> registrations_;  // guarded by mutex_
};

// One attribute value of a model element.
struct ValueCell {
  ValueCell(data::NativeType type, std::int32_t bitSize, std::int32_t accessMode,
            std::shared_ptr<ChangeDispatcher> dispatcher)
      : type(type), bitSize(bitSize), accessMode(accessMode), dispatcher(std::move(dispatcher)) {}

  // The value's type and range check; value 0 when value fits this cell.
  std::error_code check(const data::Value& value) const noexcept;
  // Stores value (already checked) as the cell keeps it; returns whether it changed.
  bool store(data::Value&& value);

  const data::NativeType type;
  const std::int32_t bitSize;
  const std::int32_t accessMode;
  const std::shared_ptr<ChangeDispatcher> dispatcher;

  mutable std::mutex mutex;
  data::Value value;  // guarded by mutex
  std::atomic<bool> removed{false};
  ChangeDispatcher::Slot slot;  // guarded by dispatcher->mutex()
};

// Read or write access to a value cell, honouring the attribute's access mode.
class CellSource final : public data::detail::ValueSource {
 public:
  enum class Direction { kRead, kWrite };
  CellSource(std::shared_ptr<ValueCell> cell, Direction direction)
      : cell_(std::move(cell)), direction_(direction) {}

  data::NativeType nativeType() const noexcept override { return cell_->type; }
  std::int32_t bitSize() const noexcept override { return cell_->bitSize; }
  std::error_code hardError() const noexcept override;
  std::error_code read(data::Value& out) const override;
  std::error_code write(data::Value&& value) const override;
  std::error_code addChangeHandler(process::EventHandler& handler) const override;
  void removeChangeHandler(process::EventHandler& handler) const noexcept override;

 private:
  std::shared_ptr<ValueCell> cell_;
  Direction direction_;
};

// Writes one value to a cell and delivers the change, as one batch.
std::error_code writeCell(const std::shared_ptr<ValueCell>& cell, data::Value&& value);

struct AttributeSlot {
  model::Attribute definition;
  std::shared_ptr<ValueCell> cell;
};

class ModelCore;

// What the host keeps of every element, model element or skill element alike.
struct ElementNode {
  std::string primaryKey;
  std::string name;
  model::ElementCategory category = model::ElementCategory::kGeneric;
  std::vector<AttributeSlot> attributes;  // fixed once the element is in a model

  mutable std::mutex mutex;
  std::vector<std::shared_ptr<model::Element>> children;  // guarded by mutex
  std::weak_ptr<const model::Element> self;               // guarded by mutex
  std::weak_ptr<ModelCore> model;                         // guarded by mutex

  static ElementNode& of(const model::Element& element) { return *element.node_; }
  const AttributeSlot* findAttribute(std::string_view name) const noexcept;
  const AttributeSlot* findAttribute(const model::Attribute& definition) const noexcept;
};

// Elements the host makes from model descriptions.
class HostElement final : public model::Element {
 public:
  HostElement() = default;
};

struct TransparentHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};

class ModelCore {
 public:
  ModelCore();

  std::shared_ptr<model::Element> find(std::string_view primaryKey) const;
  const std::shared_ptr<HostElement>& root() const noexcept { return root_; }
  const std::shared_ptr<ChangeDispatcher>& dispatcher() const noexcept { return dispatcher_; }

  // Inserts an element whose primary key is already complete under parent (the root when null).
  void add(std::shared_ptr<HostElement> element, const model::Element* parent);
  bool remove(std::string_view primaryKey);
  std::size_t size() const;
  // Upper bounds of the primary key and attribute name lengths of every element ever added:
  // lookups by member path use them to try only the splits that can match.
  struct NameBounds {
    std::size_t key = 0;
    std::size_t attribute = 0;
  };
  NameBounds nameBounds() const noexcept;
  // The cell of "<attribute>" of the element keyed primaryKey, or null.
  std::shared_ptr<ValueCell> cell(std::string_view primaryKey, std::string_view attribute) const;

 private:
  void removeFromIndexLocked(const model::Element& element);

  std::shared_ptr<ChangeDispatcher> dispatcher_;
  std::shared_ptr<HostElement> root_;
  mutable std::shared_mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<model::Element>, TransparentHash, std::equal_to<>>
      index_;              // guarded by mutex_
  NameBounds nameBounds_;  // guarded by mutex_; only grows
};

// UUIDs of the host's own attributes, the same on every element.
const model::Attribute& nameAttribute();
const model::Attribute& keyAttribute();
const model::Attribute& uuidAttribute();

}  // namespace ormanta::host::detail
