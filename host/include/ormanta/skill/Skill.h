#pragma once

#include <memory>
#include <string_view>

#include "ormanta/config/Config.h"
#include "ormanta/skill/Element.h"
#include "ormanta/skill/ElementAllocator.h"
#include "ormanta/utils/FunctionRef.h"
#include "ormanta/utils/core/Uuid.h"
#include "ormanta/utils/json/Decoder.h"

namespace ormanta::skill {

// A plug-in's skill: a factory of elements of its element classes.
class Skill {
 public:
  // The skill's class. Constructing one makes the skill known to the host (see
  // host::SkillRegistry); destroying it makes the host forget it. A plug-in holds it as a
  // static object, so loading the plug-in registers the skill and unloading removes it.
  class Class {
   public:
    Class();
    virtual ~Class();
    Class(const Class&) = delete;
    Class& operator=(const Class&) = delete;

    virtual std::string_view name() const = 0;
    virtual utils::core::Uuid uuid() const = 0;
    // Calls function with each element class; returns true as soon as a call does.
    virtual bool forEachElementClass(utils::FunctionRef<bool(const Element::Class&)> function) const = 0;
    virtual std::unique_ptr<Skill> createSkill() const = 0;
  };

  virtual ~Skill();
  // Base: the skill takes no configuration; any member is an unknown parameter.
  virtual void loadConfig(const utils::json::decoder::Object& configuration, const config::Context& context);
  // An element of elementClass made in allocator's storage; null for a class that is not the skill's.
  virtual std::shared_ptr<Element> createElement(const Element::Class& elementClass,
                                                 ElementAllocator& allocator) = 0;
};

}  // namespace ormanta::skill
