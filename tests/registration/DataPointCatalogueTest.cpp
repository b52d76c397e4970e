// The data point catalogue: which elements and attributes a registration describes, and the
// type texts, sizes and access letters of the members.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "ormanta/host/Model.h"
#include "plugin/ErrorCategories.h"
#include "registration/DataPointCatalogue.h"
#include "support/Errors.h"
#include "support/ServiceHarness.h"
#include "ScriptedElements.h"

namespace {

using namespace ormanta::plugins::TulService;
using tul::test::messageOf;
using ormanta::data::NativeType;
using ormanta::host::AttributeSpec;
using ormanta::host::ElementSpec;
using ormanta::host::Model;
using ormanta::model::kAccessRead;
using ormanta::model::kAccessReadWrite;
using ormanta::model::kAccessWrite;
using tul::test::denied;
using tul::test::readHandle;
using tul::test::ScriptedElement;
using tul::test::writeHandle;

std::vector<std::string> namesOf(const MemberList& members) {
  std::vector<std::string> names;
  for (const auto& member : members) names.push_back(member.name);
  return names;
}

std::int32_t code(NativeType type) { return static_cast<std::int32_t>(type); }


// A service placed in a host model, as the host does it; nothing is started.
class CatalogueTest : public ::testing::Test {
 protected:
  std::shared_ptr<Service> service(std::string_view serviceName = "S") {
    return harness.create(tul::test::serviceConfig(tul::test::kClosedAddress, serviceName));
  }

  Model& model() { return harness.model(); }

  tul::test::ServiceHarness harness;
};

// ---- the walk ----

TEST_F(CatalogueTest, ModelWithoutElementsGivesAnEmptyCatalogue) {
  EXPECT_TRUE(buildCatalogue(*service()).empty());
}

TEST_F(CatalogueTest, DataPointIsNamedAfterServiceAndKeyAndLeavesOutTheHostsOwnAttributes) {
  model().addElement({"Boiler", "Boiler one", ormanta::model::ElementCategory::kDevice,
                      {AttributeSpec("Temp", NativeType::kDouble, kAccessRead, 64)}});
  const DataPointCatalogue catalogue = buildCatalogue(*service(""));
  ASSERT_EQ(catalogue.size(), 1u);
  const auto entry = catalogue.find("TULOrmantaService.Boiler");
  ASSERT_NE(entry, catalogue.end());
  EXPECT_EQ(entry->second, (MemberList{{"Temp", code(NativeType::kDouble), 64, kAccessRead}}));
}

TEST_F(CatalogueTest, ExcludedNamesAreExactlyTheHostsOwnAttributes) {
  EXPECT_EQ(excludedAttributeNames(), (std::unordered_set<std::string>{"name", "key", "UUID"}));
  EXPECT_EQ(&excludedAttributeNames(), &excludedAttributeNames());
}

TEST_F(CatalogueTest, ExcludedNamesAreLeftOutOfAnyElementAndOtherCasesAreKept) {
  ScriptedElement root;
  auto element = std::make_shared<ScriptedElement>();
  element->add("name", kAccessRead, readHandle(NativeType::kString, 0))
      .add("UUID", kAccessRead, readHandle(NativeType::kUuid, 128))
      .add("Key", kAccessRead, readHandle(NativeType::kString, 0))
      .add("key", kAccessRead, readHandle(NativeType::kString, 0));
  root.children.push_back(element);
  const DataPointCatalogue catalogue = buildCatalogue(root, "S");
  EXPECT_EQ(namesOf(catalogue.at("S.")), (std::vector<std::string>{"Key"}));
}

TEST_F(CatalogueTest, MembersAreSortedByteWise) {
  model().addElement({"E", "", {}, {AttributeSpec("b", NativeType::kBool), AttributeSpec("B", NativeType::kBool),
                                    AttributeSpec("\xC3\xA4", NativeType::kBool), AttributeSpec("a", NativeType::kBool),
                                    AttributeSpec("ab", NativeType::kBool)}});
  const DataPointCatalogue catalogue = buildCatalogue(*service());
  // Bytes compare unsigned: the UTF-8 lead byte 0xC3 sorts after every ASCII letter.
  EXPECT_EQ(namesOf(catalogue.at("S.E")), (std::vector<std::string>{"B", "a", "ab", "b", "\xC3\xA4"}));
}

TEST_F(CatalogueTest, NestedElementsAreDataPointsNamedByTheirDottedKeys) {
  auto area = model().addElement({"Area", "", {}, {AttributeSpec("Mode", NativeType::kInt, kAccessRead, 32)}});
  auto boiler = model().addElement({"Boiler", "", {}, {AttributeSpec("Temp", NativeType::kDouble)}}, area.get());
  model().addElement({"Sensor"}, boiler.get());
  model().addElement({"Pump"});
  const DataPointCatalogue catalogue = buildCatalogue(*service());
  EXPECT_EQ(catalogue.size(), 4u);
  EXPECT_EQ(namesOf(catalogue.at("S.Area")), (std::vector<std::string>{"Mode"}));
  EXPECT_EQ(namesOf(catalogue.at("S.Area.Boiler")), (std::vector<std::string>{"Temp"}));
  EXPECT_TRUE(catalogue.at("S.Area.Boiler.Sensor").empty());
  EXPECT_TRUE(catalogue.at("S.Pump").empty());
}

TEST_F(CatalogueTest, ElementWithoutPublishableAttributesIsStillADataPoint) {
  model().addElement({"Empty"});
  model().addElement({"Opaque", "", {}, {AttributeSpec("Blob", NativeType::kBinary, kAccessRead, 0)}});
  const DataPointCatalogue catalogue = buildCatalogue(*service());
  ASSERT_EQ(catalogue.size(), 2u);
  EXPECT_TRUE(catalogue.at("S.Empty").empty());
  EXPECT_TRUE(catalogue.at("S.Opaque").empty());
}

// ---- which handle describes a member ----

TEST_F(CatalogueTest, AccessModesAreKeptAndWriteOnlyAttributesAreDescribedFromTheirWriteHandle) {
  model().addElement({"E", "", {}, {AttributeSpec("r", NativeType::kInt, kAccessRead, 16),
                                    AttributeSpec("w", NativeType::kUInt, kAccessWrite, 32),
                                    AttributeSpec("b", NativeType::kDouble, kAccessReadWrite, 32)}});
  const DataPointCatalogue catalogue = buildCatalogue(*service());
  EXPECT_EQ(catalogue.at("S.E"), (MemberList{{"b", code(NativeType::kDouble), 32, kAccessReadWrite},
                                             {"r", code(NativeType::kInt), 16, kAccessRead},
                                             {"w", code(NativeType::kUInt), 32, kAccessWrite}}));
}

TEST_F(CatalogueTest, ReadHandleWinsWhenUsableElseTheWriteHandleElseTheAttributeIsLeftOut) {
  ScriptedElement root;
  auto element = std::make_shared<ScriptedElement>();
  element->add("readable", kAccessReadWrite, readHandle(NativeType::kInt, 16), writeHandle(NativeType::kUInt, 32))
      .add("writeOnly", kAccessWrite, readHandle(NativeType::kString, 0, denied()), writeHandle(NativeType::kInt, 8))
      .add("noReadHandle", kAccessWrite, std::nullopt, writeHandle(NativeType::kDouble, 32))
      .add("neither", kAccessReadWrite, readHandle(NativeType::kInt, 8, denied()),
           writeHandle(NativeType::kInt, 8, denied()))
      .add("noHandles", kAccessReadWrite, std::nullopt, std::nullopt);
  root.children.push_back(element);
  const DataPointCatalogue catalogue = buildCatalogue(root, "S");
  EXPECT_EQ(catalogue.at("S."), (MemberList{{"noReadHandle", code(NativeType::kDouble), 32, kAccessWrite},
                                            {"readable", code(NativeType::kInt), 16, kAccessReadWrite},
                                            {"writeOnly", code(NativeType::kInt), 8, kAccessWrite}}));
}

TEST_F(CatalogueTest, OnlyTheValueOfAHardErrorCountsNotItsCategory) {
  ScriptedElement root;
  auto element = std::make_shared<ScriptedElement>();
  // Value 0 of another category is usable; value 1 of a category whose 1 means "pending" is not.
  element->add("zeroOfOtherCategory", kAccessRead, readHandle(NativeType::kBool, 1, registrationError(0)))
      .add("nonZero", kAccessRead, readHandle(NativeType::kBool, 1, registrationError(1)));
  root.children.push_back(element);
  EXPECT_EQ(namesOf(buildCatalogue(root, "S").at("S.")), (std::vector<std::string>{"zeroOfOtherCategory"}));
}

TEST_F(CatalogueTest, TypesWithoutValueTypeAreLeftOutAndUnknownCodesAndModesPassTheWalk) {
  model().addElement({"E", "", {}, {AttributeSpec("binary", NativeType::kBinary, kAccessRead),
                                    AttributeSpec("structure", NativeType::kStructure, kAccessReadWrite),
                                    AttributeSpec("error", NativeType::kErrorCode, kAccessRead),
                                    AttributeSpec("future", NativeType(16), kAccessRead),
                                    AttributeSpec("odd", NativeType::kBool, 7)}});
  const DataPointCatalogue catalogue = buildCatalogue(*service());
  EXPECT_EQ(catalogue.at("S.E"), (MemberList{{"error", 13, 64, kAccessRead},
                                             {"future", 16, 0, kAccessRead},
                                             {"odd", 0, 8, 7}}));
}

// ---- elements that compose the same name ----

TEST_F(CatalogueTest, OfTwoElementsWithTheSameNameTheFirstMetWinsAndTheOthersChildrenStillCount) {
  auto first = Model::create();
  auto second = Model::create();
  first->addElement({"A", "", {}, {AttributeSpec("fromFirst", NativeType::kBool)}});
  auto secondA = second->addElement({"A", "", {}, {AttributeSpec("fromSecond", NativeType::kBool)}});
  second->addElement({"B", "", {}, {AttributeSpec("child", NativeType::kBool)}}, secondA.get());
  ScriptedElement root;
  root.children = {first->findElement("A"), secondA};
  const DataPointCatalogue catalogue = buildCatalogue(root, "S");
  ASSERT_EQ(catalogue.size(), 2u);
  EXPECT_EQ(namesOf(catalogue.at("S.A")), (std::vector<std::string>{"fromFirst"}));
  EXPECT_EQ(namesOf(catalogue.at("S.A.B")), (std::vector<std::string>{"child"}));
}

TEST_F(CatalogueTest, WalkIsDepthFirstSoANestedElementPrecedesTheNextSibling) {
  // First a top-level A whose child composes S.A.B, then a nested element that composes the
  // same name: depth first meets the child before that sibling.
  auto first = Model::create();
  auto second = Model::create();
  auto a = first->addElement({"A"});
  first->addElement({"B", "", {}, {AttributeSpec("nested", NativeType::kBool)}}, a.get());
  auto otherA = second->addElement({"A"});
  auto otherB = second->addElement({"B", "", {}, {AttributeSpec("sibling", NativeType::kBool)}}, otherA.get());
  ScriptedElement root;
  root.children = {a, otherB};
  EXPECT_EQ(namesOf(buildCatalogue(root, "S").at("S.A.B")), (std::vector<std::string>{"nested"}));
}

TEST_F(CatalogueTest, AnElementIsMetBeforeItsChildren) {
  // Scripted elements all have the empty key, so parent and child compose the same name.
  ScriptedElement root;
  auto parent = std::make_shared<ScriptedElement>();
  auto child = std::make_shared<ScriptedElement>();
  parent->add("parent", kAccessRead, readHandle(NativeType::kBool, 8));
  child->add("child", kAccessRead, readHandle(NativeType::kBool, 8));
  parent->children.push_back(child);
  root.children.push_back(parent);
  EXPECT_EQ(namesOf(buildCatalogue(root, "S").at("S.")), (std::vector<std::string>{"parent"}));
}

TEST_F(CatalogueTest, HostExceptionDuringTheWalkEndsIt) {
  ScriptedElement root;
  root.children.push_back(std::make_shared<tul::test::ThrowingElement>("model is being torn down"));
  EXPECT_EQ(messageOf<std::runtime_error>([&] { buildCatalogue(root, "S"); }), "model is being torn down");
}

// ---- type texts, sizes, access letters ----

TEST(DescribeNativeTypeTest, NumbersTakeTheBitSizeAndBoolIsAlwaysEight) {
  EXPECT_EQ(describeNativeType(0, 1).typeText, "Bool");
  EXPECT_EQ(describeNativeType(0, 1).size, 8u);
  EXPECT_EQ(describeNativeType(0, 64).size, 8u);
  EXPECT_EQ(describeNativeType(1, 64).typeText, "Int");
  EXPECT_EQ(describeNativeType(1, 64).size, 64u);
  EXPECT_EQ(describeNativeType(1, 16).size, 16u);
  EXPECT_EQ(describeNativeType(2, 8).typeText, "UInt");
  EXPECT_EQ(describeNativeType(2, 8).size, 8u);
  EXPECT_EQ(describeNativeType(3, 32).typeText, "Real");
  EXPECT_EQ(describeNativeType(3, 32).size, 32u);
}

TEST(DescribeNativeTypeTest, NegativeBitSizeIsSignExtended) {
  EXPECT_EQ(describeNativeType(1, -1).size, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(describeNativeType(3, std::numeric_limits<std::int32_t>::min()).size,
            static_cast<std::uint64_t>(std::int64_t{std::numeric_limits<std::int32_t>::min()}));
}

TEST(DescribeNativeTypeTest, EverythingElseIsAStringOfFixedSizeWhateverTheBitSize) {
  const std::pair<std::int32_t, std::uint64_t> expected[] = {
      {4, 524288}, {5, 524288}, {6, 524288}, {7, 524288}, {8, 524288},
      {9, 46},     {10, 36},    {11, 80},    {12, 144},   {13, 524288}};
  for (const auto& [type, size] : expected) {
    for (const std::int32_t bitSize : {0, 64, -5}) {
      const NativeTypeDescription description = describeNativeType(type, bitSize);
      EXPECT_EQ(description.typeText, "String") << type;
      EXPECT_EQ(description.size, size) << type;
    }
  }
}

TEST(DescribeNativeTypeTest, CodesWithoutValueTypeAreUnsupported) {
  for (const std::int32_t type : {14, 15, 16, 1000, -1, std::numeric_limits<std::int32_t>::max()}) {
    EXPECT_EQ(messageOf<std::invalid_argument>([&] { describeNativeType(type, 64); }), "Unsupported native type")
        << type;
  }
}

TEST(AccessTextTest, ModesZeroToTwoAreLetters) {
  EXPECT_EQ(accessText(0), "r");
  EXPECT_EQ(accessText(1), "w");
  EXPECT_EQ(accessText(2), "b");
}

TEST(AccessTextTest, AnyOtherModeIsUnknown) {
  for (const std::int32_t mode : {3, 7, -1, std::numeric_limits<std::int32_t>::min()}) {
    EXPECT_EQ(messageOf<std::runtime_error>([&] { accessText(mode); }), "Unknown access modifier") << mode;
  }
}

}  // namespace
