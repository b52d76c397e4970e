#pragma once

#include <string_view>
#include <vector>

#include "ormanta/skill/Skill.h"

namespace ormanta::host {

// The skills known to this process: every live skill::Skill::Class object. Thread-safe.
// Skills vanish when their plug-in unloads; callers must not keep the pointers past that.
class SkillRegistry {
 public:
  static const skill::Skill::Class* find(std::string_view name);
  static std::vector<const skill::Skill::Class*> all();

 private:
  friend class skill::Skill::Class;
  static void add(const skill::Skill::Class* skillClass);
  static void remove(const skill::Skill::Class* skillClass) noexcept;
};

}  // namespace ormanta::host
