#include "ormanta/skill/Skill.h"

#include <algorithm>
#include <mutex>

#include "ormanta/host/SkillRegistry.h"

namespace ormanta {
namespace host {
namespace {

struct Registry {
  std::mutex mutex;
  std::vector<const skill::Skill::Class*> skills;  // guarded by mutex
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

const skill::Skill::Class* SkillRegistry::find(std::string_view name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  for (const skill::Skill::Class* skillClass : r.skills) {
    if (skillClass->name() == name) return skillClass;
  }
  return nullptr;
}

std::vector<const skill::Skill::Class*> SkillRegistry::all() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.skills;
}

void SkillRegistry::add(const skill::Skill::Class* skillClass) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.skills.push_back(skillClass);
}

void SkillRegistry::remove(const skill::Skill::Class* skillClass) noexcept {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::erase(r.skills, skillClass);
}

}  // namespace host

namespace skill {

// The registry only keeps the pointer here; the host asks the object anything only after the
// plug-in's static initialisers have finished.
Skill::Class::Class() { host::SkillRegistry::add(this); }

Skill::Class::~Class() { host::SkillRegistry::remove(this); }

Skill::~Skill() = default;

void Skill::loadConfig(const utils::json::decoder::Object& configuration, const config::Context&) {
  for (auto cursor = configuration.begin(); cursor != configuration.end(); configuration.step(cursor)) {
    config::throwUnknownParameterError((*cursor).name());
  }
}

ElementAllocator::~ElementAllocator() = default;

}  // namespace skill
}  // namespace ormanta
