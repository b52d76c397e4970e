#pragma once

#include <memory>

#include "ormanta/skill/Skill.h"

namespace ormanta::plugins::TulService {

// The skill "TUL": makes service elements. Holds no data.
class Skill final : public skill::Skill {
 public:
  std::shared_ptr<skill::Element> createElement(const skill::Element::Class& elementClass,
                                                skill::ElementAllocator& allocator) override;
};

// The one element class of the skill ("Service", "TUL service").
const skill::Element::Class& serviceElementClass() noexcept;

}  // namespace ormanta::plugins::TulService
