#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "ormanta/config/Config.h"
#include "ormanta/model/Element.h"
#include "ormanta/utils/core/Uuid.h"
#include "ormanta/utils/json/Decoder.h"

namespace ormanta::skill {

// The host interface revision elements are built against; the host refuses elements that
// answer another one.
inline constexpr std::int32_t kInterfaceRevision = 14;

// An element that a skill makes. The host calls, in order: loadConfiguration, realize,
// postRealize, prepare, postPrepare; at the end preCleanup, cleanup; then it drops its
// shared ownership. Lifecycle calls come from one host thread at a time.
class Element : public model::Element {
 public:
  class Class {
   public:
    virtual ~Class();
    virtual std::string_view name() const = 0;
    virtual utils::core::Uuid uuid() const = 0;
    virtual std::string_view displayName() const = 0;
  };

  ~Element() override;

  // A host query for optional extensions; base: none (nullptr).
  virtual const void* queryExtension(const utils::core::Uuid& extension) const;

  // Base: accepts only an empty object (any member is an unknown parameter).
  virtual void loadConfiguration(const utils::json::decoder::Object& configuration,
                                 const config::Context& context);
  virtual void realize();
  virtual void postRealize();
  virtual void prepare();
  virtual void postPrepare();
  virtual void preCleanup();
  virtual void cleanup();

  // Base: no events, no tasks.
  virtual bool forEachEvent(model::ForEachEventFunction function) const;
  virtual bool forEachTask(model::ForEachTaskFunction function) const;

  // Base: found through the enumerations.
  virtual std::optional<model::Attribute> resolveAttributeByUuid(const utils::core::Uuid& uuid) const;
  virtual std::shared_ptr<process::Event> resolveEventByRole(process::Event::Role role) const;
  virtual std::shared_ptr<process::Task> resolveTaskByRole(process::Task::Role role) const;

  // The interface revision the element was built against; base: kInterfaceRevision.
  virtual std::int32_t interfaceRevision() const;

  // The root of the model the host placed this element in (null before the host did).
  std::shared_ptr<model::Element> rootElement() const;
  // Resolves "<primary key>.<attribute name>" in that model (nested keys included); tests
  // false when no element has such an attribute.
  model::ElementAttribute findAttribute(std::string_view name) const;

 protected:
  Element();
};

}  // namespace ormanta::skill
