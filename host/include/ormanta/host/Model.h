#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "ormanta/data/Types.h"
#include "ormanta/model/Attribute.h"
#include "ormanta/model/Element.h"
#include "ormanta/utils/Expected.h"

namespace ormanta::skill {
class Element;
}

namespace ormanta::host {

namespace detail {
class ModelCore;
struct ValueCell;
}  // namespace detail

struct AttributeSpec {
  AttributeSpec() = default;
  AttributeSpec(std::string name, data::NativeType nativeType,
                std::int32_t accessMode = model::kAccessReadWrite, std::int32_t bitSize = 64,
                data::Value initial = {})
      : name(std::move(name)),
        nativeType(nativeType),
        accessMode(accessMode),
        bitSize(bitSize),
        initial(std::move(initial)) {}

  std::string name;
  data::NativeType nativeType = data::NativeType::kDouble;
  std::int32_t accessMode = model::kAccessReadWrite;  // any value is accepted, as a host may hold it
  std::int32_t bitSize = 64;               // kInt, kUInt: 8, 16, 32, 64; kDouble: 32, 64; ignored otherwise
  data::Value initial;                     // std::monostate: the type's zero value
  std::optional<utils::core::Uuid> uuid;   // random when absent
  std::optional<data::DataType> dataType;  // derived from nativeType when absent
};

struct ElementSpec {
  ElementSpec() = default;
  ElementSpec(std::string key, std::string name = {},  // NOLINT(google-explicit-constructor)
              model::ElementCategory category = model::ElementCategory::kGeneric,
              std::vector<AttributeSpec> attributes = {})
      : key(std::move(key)), name(std::move(name)), category(category), attributes(std::move(attributes)) {}
  ElementSpec(const char* key) : ElementSpec(std::string(key)) {}  // NOLINT(google-explicit-constructor)

  std::string key;   // one segment: not empty, no '.'
  std::string name;  // the "name" attribute; the key when empty
  model::ElementCategory category = model::ElementCategory::kGeneric;
  std::vector<AttributeSpec> attributes;
};

// The host's model: a tree of elements under a root, with attribute values that change on
// any thread. Changes are delivered in batches: every change handler of a changed value gets
// onChange() once per change, then every handler that got one gets afterChanges() once.
// Batches are delivered one at a time; after ReadHandle::removeChangeHandler() returns the
// handler is never called again.
//
// All members are thread-safe.
class Model {
 public:
  static std::shared_ptr<Model> create();
  ~Model();

  std::shared_ptr<model::Element> root() const;

  // Adds an element under parent (the root when null). Its primary key is the parent's key,
  // ".", and description.key (description.key alone under the root). Throws std::invalid_argument for an
  // empty key or one holding '.', a primary key already in use, a repeated attribute name or
  // one of the host's own ("name", "key", "UUID"), a bad bit size, or an initial value of
  // another type or out of range.
  std::shared_ptr<model::Element> addElement(const ElementSpec& description,
                                             const model::Element* parent = nullptr);
  // Removes the element and everything below it; their handles then report HandleError::kRemoved.
  // Returns false when there is no such element.
  bool removeElement(std::string_view primaryKey);
  std::shared_ptr<model::Element> findElement(std::string_view primaryKey) const;
  std::size_t elementCount() const;

  // The host's own access to values: access modes do not apply.
  utils::Expected<data::Value> readValue(std::string_view primaryKey, std::string_view attribute) const;
  std::error_code setValue(std::string_view primaryKey, std::string_view attribute, data::Value value);

  // Several changes delivered as one batch.
  class ChangeBatch {
   public:
    // Checks the change (element, attribute, type, range) and queues it.
    std::error_code add(std::string_view primaryKey, std::string_view attribute, data::Value value);
    std::size_t size() const noexcept { return changes_.size(); }
    // Writes every queued value, then delivers the notifications; the batch is empty afterwards.
    void commit();

   private:
    friend class Model;
    explicit ChangeBatch(std::shared_ptr<detail::ModelCore> core) : core_(std::move(core)) {}
    std::shared_ptr<detail::ModelCore> core_;
    std::vector<std::pair<std::shared_ptr<detail::ValueCell>, data::Value>> changes_;
  };
  ChangeBatch batch() const { return ChangeBatch(core_); }

  // Places a skill element in this model under primaryKey (it is not one of the root's
  // children): its rootElement() and findAttribute() work on this model from now on.
  void bind(const std::shared_ptr<skill::Element>& element, std::string primaryKey) const;

 private:
  explicit Model(std::shared_ptr<detail::ModelCore> core) : core_(std::move(core)) {}
  std::shared_ptr<detail::ModelCore> core_;
};

}  // namespace ormanta::host
