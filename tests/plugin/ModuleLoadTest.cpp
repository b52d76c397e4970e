// Loading the built plug-in module with the OS loader, as the host does.

#include <gtest/gtest.h>

#include "ormanta/host/Host.h"
#include "ormanta/host/PluginLibrary.h"
#include "ormanta/host/SkillRegistry.h"
#include "support/Errors.h"

namespace {

using namespace ormanta;

class OtherClass final : public skill::Element::Class {
 public:
  std::string_view name() const override { return "Service"; }  // same name, other object
  utils::core::Uuid uuid() const override { return {}; }
  std::string_view displayName() const override { return "impostor"; }
};

TEST(ModuleLoadTest, LoadingRegistersTheSkillAndUnloadingRemovesIt) {
  ASSERT_EQ(host::SkillRegistry::find("TUL"), nullptr);
  host::PluginLibrary library(TUL_MODULE_PATH);
  const skill::Skill::Class* skillClass = host::SkillRegistry::find("TUL");
  ASSERT_NE(skillClass, nullptr);
  EXPECT_EQ(skillClass->name(), "TUL");
  EXPECT_EQ(skillClass->uuid().toString(), "595e1ee2-95ca-4ce0-883f-535893cb4b7c");

  std::vector<const skill::Element::Class*> classes;
  skillClass->forEachElementClass([&](const skill::Element::Class& c) {
    classes.push_back(&c);
    return false;
  });
  ASSERT_EQ(classes.size(), 1u);
  EXPECT_EQ(classes[0]->name(), "Service");
  EXPECT_EQ(classes[0]->displayName(), "TUL service");
  EXPECT_EQ(classes[0]->uuid().toString(), "26a7c59d-3fb3-4b9f-8c98-6695be5b3411");

  host::CountingAllocator allocator;
  {
    std::unique_ptr<skill::Skill> skill = skillClass->createSkill();
    OtherClass other;
    EXPECT_EQ(skill->createElement(other, allocator), nullptr);
    EXPECT_EQ(allocator.allocations(), 0u);

    std::shared_ptr<skill::Element> element = skill->createElement(*classes[0], allocator);
    ASSERT_NE(element, nullptr);
    EXPECT_EQ(allocator.allocations(), 1u);
    EXPECT_EQ(element->interfaceRevision(), skill::kInterfaceRevision);
    int attributes = 0;
    element->forEachAttribute([&](const model::Attribute&) { return ++attributes, false; });
    EXPECT_EQ(attributes, 12);
  }
  EXPECT_EQ(allocator.live(), 0u);

  library.unload();
  EXPECT_EQ(host::SkillRegistry::find("TUL"), nullptr);
}

TEST(ModuleLoadTest, ABadPathGivesAClearError) {
  const std::string message = tul::test::messageOf<std::runtime_error>(
      [] { host::PluginLibrary library("/nonexistent/libTulService.so"); });
  EXPECT_NE(message.find("cannot load plug-in /nonexistent/libTulService.so"), std::string::npos) << message;
}

}  // namespace
