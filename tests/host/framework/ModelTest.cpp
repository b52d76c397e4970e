// The host model: keys, attributes, handles and their access rules, change delivery.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ormanta/host/Model.h"
#include "ormanta/process/EventHandler.h"
#include "ormanta/skill/Element.h"

namespace {

using namespace ormanta;
using data::NativeType;
using host::AttributeSpec;
using host::ElementSpec;

struct CountingHandler : process::EventHandler {
  std::atomic<int> changes{0};
  std::atomic<int> batches{0};
  void onChange() override { ++changes; }
  void afterChanges() override { ++batches; }
};

std::optional<model::Attribute> definition(const model::Element& element, std::string_view name) {
  std::optional<model::Attribute> found;
  element.forEachAttribute([&](const model::Attribute& a) {
    if (a.name() != name) return false;
    found = a;
    return true;
  });
  return found;
}

class ModelTest : public ::testing::Test {
 protected:
  std::shared_ptr<host::Model> model = host::Model::create();

  std::shared_ptr<model::Element> boiler() {
    return model->addElement({"Boiler",
                              "",
                              model::ElementCategory::kEquipment,
                              {{"Temp", NativeType::kDouble, model::kAccessRead, 64, 20.5},
                               {"Setpoint", NativeType::kDouble, model::kAccessReadWrite, 64, 21.0},
                               {"Command", NativeType::kInt, model::kAccessWrite, 16},
                               {"Label", NativeType::kString, model::kAccessReadWrite}}});
  }
};

TEST_F(ModelTest, NestedElementsGetDotJoinedUniqueKeys) {
  auto area = model->addElement({"Area1"});
  auto nested = model->addElement({"Boiler"}, area.get());
  EXPECT_EQ(nested->primaryKey(), "Area1.Boiler");
  EXPECT_EQ(model->findElement("Area1.Boiler"), nested);
  EXPECT_NO_THROW(model->addElement({"Boiler"}));  // same own key elsewhere is fine
  EXPECT_THROW(model->addElement({"Boiler"}, area.get()), std::invalid_argument);
  EXPECT_THROW(model->addElement({"a.b"}), std::invalid_argument);
  EXPECT_THROW(model->addElement({""}), std::invalid_argument);

  std::vector<std::string> children;
  model->root()->forEachChildElement([&](const model::Element& e) {
    children.push_back(e.primaryKey());
    return false;
  });
  EXPECT_EQ(children, (std::vector<std::string>{"Area1", "Boiler"}));

  // Every element has the host's own attributes, read-only.
  std::vector<std::string> names;
  nested->forEachAttribute([&](const model::Attribute& a) { return names.push_back(a.name()), false; });
  EXPECT_EQ(names, (std::vector<std::string>{"name", "key", "UUID"}));
  EXPECT_EQ(*nested->attributeReadHandle(*definition(*nested, "key")).read<std::string>(), "Area1.Boiler");
  EXPECT_EQ(nested->attributeWriteHandle(*definition(*nested, "name")).write("x"),
            std::errc::permission_denied);
  EXPECT_THROW(model->addElement({"X", "", {}, {{"key", NativeType::kInt}}}), std::invalid_argument);
}

// Access modes, bit sizes and types without a value are enforced by the handles; the plug-in's
// CommandWorkerTest (refused writes), ValueTextTest and CatalogueTest show each of them.

TEST_F(ModelTest, RemovedAttributesReportErrorsInsteadOfCrashing) {
  auto element = boiler();
  auto handle = element->attributeReadHandle(*definition(*element, "Setpoint"));
  auto writer = element->attributeWriteHandle(*definition(*element, "Setpoint"));
  CountingHandler handler;
  ASSERT_FALSE(handle.addChangeHandler(handler));
  ASSERT_TRUE(model->removeElement("Boiler"));
  EXPECT_EQ(handle.read<double>().error(), data::HandleError::kRemoved);
  EXPECT_EQ(writer.write(3.0), data::HandleError::kRemoved);
  EXPECT_EQ(model->findElement("Boiler"), nullptr);
  EXPECT_FALSE(model->removeElement("Boiler"));
  handle.removeChangeHandler(handler);
  EXPECT_EQ(handler.changes, 0);
}

TEST_F(ModelTest, BatchDeliversOnChangePerChangeAndAfterChangesPerHandler) {
  auto element = boiler();
  CountingHandler a;
  CountingHandler b;
  auto setpoint = element->attributeReadHandle(*definition(*element, "Setpoint"));
  auto label = element->attributeReadHandle(*definition(*element, "Label"));
  ASSERT_FALSE(setpoint.addChangeHandler(a));
  ASSERT_FALSE(label.addChangeHandler(a));
  ASSERT_FALSE(label.addChangeHandler(b));

  auto batch = model->batch();
  ASSERT_FALSE(batch.add("Boiler", "Setpoint", 22.0));
  ASSERT_FALSE(batch.add("Boiler", "Label", std::string("hot")));
  EXPECT_EQ(batch.add("Boiler", "Setpoint", std::string("x")), data::HandleError::kTypeMismatch);
  EXPECT_EQ(batch.add("Boiler", "Nope", 1.0), data::HandleError::kNoAttribute);
  batch.commit();
  EXPECT_EQ(a.changes, 2);
  EXPECT_EQ(a.batches, 1);
  EXPECT_EQ(b.changes, 1);
  EXPECT_EQ(b.batches, 1);

  // Writing the value it already has is no change.
  EXPECT_FALSE(model->setValue("Boiler", "Setpoint", 22.0));
  EXPECT_EQ(a.changes, 2);
  setpoint.removeChangeHandler(a);
  label.removeChangeHandler(a);
  label.removeChangeHandler(b);
}

TEST_F(ModelTest, RemovedHandlerIsNeverCalledAgainWhileOtherThreadsChangeValues) {
  auto element = boiler();
  auto handle = element->attributeReadHandle(*definition(*element, "Setpoint"));
  struct Probe : process::EventHandler {
    std::atomic<bool> removed{false};
    std::atomic<int> late{0};  // calls after the removal
    void onChange() override {
      late += removed.load();
      std::this_thread::sleep_for(std::chrono::microseconds(50));  // widen the window
    }
    void afterChanges() override { late += removed.load(); }
  } probe;

  for (int round = 0; round < 20; ++round) {
    ASSERT_FALSE(handle.addChangeHandler(probe));
    std::atomic<bool> stop{false};
    std::vector<std::jthread> writers;
    for (int w = 0; w < 2; ++w) {
      writers.emplace_back([&, w] {
        for (double v = w; !stop.load(); v += 2) model->setValue("Boiler", "Setpoint", v);
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    handle.removeChangeHandler(probe);
    probe.removed = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    stop = true;
    writers.clear();
    probe.removed = false;
  }
  EXPECT_EQ(probe.late, 0);
}

TEST_F(ModelTest, TextValuesAreReadWholeWhileAnotherThreadWrites) {
  boiler();
  const std::string a(1000, 'a');
  const std::string b(3000, 'b');
  std::atomic<bool> stop{false};
  std::jthread writer([&] {
    for (int i = 0; !stop.load(); ++i) model->setValue("Boiler", "Label", i % 2 ? a : b);
  });
  auto element = model->findElement("Boiler");
  auto handle = element->attributeReadHandle(*definition(*element, "Label"));
  for (int i = 0; i < 20000; ++i) {
    auto text = handle.read<std::string>();
    ASSERT_TRUE(text);
    ASSERT_TRUE(text->empty() || *text == a || *text == b);
  }
  stop = true;
}

class BoundElement final : public skill::Element {};

TEST_F(ModelTest, SkillElementsResolveMemberPathsThroughTheirModel) {
  auto area = model->addElement({"Area"});
  model->addElement({"Tank", "", {}, {{"Level.Max", NativeType::kDouble}, {"Level", NativeType::kDouble}}},
                    area.get());
  auto element = std::make_shared<BoundElement>();
  EXPECT_EQ(element->rootElement(), nullptr);
  EXPECT_FALSE(element->findAttribute("Area.Tank.Level"));
  model->bind(element, "Service1");

  EXPECT_EQ(element->rootElement(), model->root());
  auto level = element->findAttribute("Area.Tank.Level");
  ASSERT_TRUE(level);
  EXPECT_EQ(level.attribute().name(), "Level");
  EXPECT_EQ(level.element()->primaryKey(), "Area.Tank");
  auto max = element->findAttribute("Area.Tank.Level.Max");  // attribute names may hold dots
  ASSERT_TRUE(max);
  EXPECT_EQ(max.attribute().name(), "Level.Max");
  EXPECT_FALSE(element->findAttribute("Area.Tank.Nope"));
  EXPECT_FALSE(element->findAttribute("Tank.Level"));
  EXPECT_FALSE(element->findAttribute(""));
  EXPECT_FALSE(element->findAttribute(".Level"));
  EXPECT_FALSE(level.writeHandle().write(4.5));
  EXPECT_EQ(std::get<double>(*model->readValue("Area.Tank", "Level")), 4.5);
}

}  // namespace
