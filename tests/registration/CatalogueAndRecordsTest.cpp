// The registration without sockets: the data point catalogue (which elements and attributes
// are described, and how), the JSON records and the records one run makes of a catalogue.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "ormanta/data/Handles.h"
#include "ormanta/host/Model.h"
#include "ormanta/utils/core/Uuid.h"
#include "ormanta/utils/json/Decoder.h"
#include "plugin/ErrorCategories.h"
#include "redis/RedisConnection.h"
#include "registration/DataPointCatalogue.h"
#include "registration/RegistrationRecords.h"
#include "registration/RegistrationRun.h"
#include "registration/RunReleaser.h"
#include "support/Errors.h"
#include "support/ServiceHarness.h"

namespace {

using namespace ormanta::plugins::TulService;
namespace decoder = ormanta::utils::json::decoder;
using ormanta::data::NativeType;
using ormanta::data::ReadHandle;
using ormanta::data::WriteHandle;
using ormanta::host::AttributeSpec;
using ormanta::model::kAccessRead;
using ormanta::model::kAccessReadWrite;
using ormanta::model::kAccessWrite;
using Names = std::vector<std::string>;
using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

// A value source that only describes itself.
class DescribedSource final : public ormanta::data::detail::ValueSource {
 public:
  DescribedSource(NativeType type, std::int32_t bits, std::error_code error)
      : type_(type), bits_(bits), error_(error) {}
  NativeType nativeType() const noexcept override { return type_; }
  std::int32_t bitSize() const noexcept override { return bits_; }
  std::error_code hardError() const noexcept override { return error_; }
  std::error_code read(ormanta::data::Value&) const override { return error_; }

 private:
  NativeType type_;
  std::int32_t bits_;
  std::error_code error_;
};

template <class Handle>
std::optional<Handle> described(NativeType type, std::int32_t bits, std::error_code error = {}) {
  return Handle(std::make_shared<DescribedSource>(type, bits, error));
}
const std::error_code kDenied = std::make_error_code(std::errc::permission_denied);

// An element (its key always empty) whose attributes, handles and children the test gives;
// it counts how often the walk describes it, running onVisit each time.
class ScriptedElement final : public ormanta::model::Element {
 public:
  ScriptedElement& add(std::string name, std::int32_t access, std::optional<ReadHandle> read,
                       std::optional<WriteHandle> write = std::nullopt) {
    slots_.push_back({{ormanta::utils::core::Uuid::generateRandom(), std::move(name),
                       ormanta::data::DataType::kString, access},
                      std::move(read),
                      std::move(write)});
    return *this;
  }
  std::vector<std::shared_ptr<ormanta::model::Element>> children;
  std::function<void()> onVisit = [] {};
  mutable int visits = 0;

 protected:
  bool forEachChildElementInternal(ormanta::model::ForEachElementFunction f) const override {
    return std::any_of(children.begin(), children.end(), [&](const auto& child) { return f(*child); });
  }
  bool forEachAttributeInternal(ormanta::model::ForEachAttributeFunction f) const override {
    ++visits;
    onVisit();
    return std::any_of(slots_.begin(), slots_.end(), [&](const Slot& slot) { return f(slot.definition); });
  }
  std::optional<ReadHandle> makeReadHandle(const ormanta::model::Attribute& a) const override {
    return find(a).read;
  }
  std::optional<WriteHandle> makeWriteHandle(const ormanta::model::Attribute& a) const override {
    return find(a).write;
  }

 private:
  struct Slot {
    ormanta::model::Attribute definition;
    std::optional<ReadHandle> read;
    std::optional<WriteHandle> write;
  };
  const Slot& find(const ormanta::model::Attribute& a) const {
    return *std::find_if(slots_.begin(), slots_.end(),
                         [&](const Slot& slot) { return slot.definition == a; });
  }
  std::vector<Slot> slots_;
};

Names namesOf(const MemberList& members) {
  Names names;
  for (const auto& member : members) names.push_back(member.name);
  return names;
}

// The members of the one data point "S." made of element.
MemberList membersOf(std::shared_ptr<ScriptedElement> element) {
  ScriptedElement root;
  root.children.push_back(std::move(element));
  return buildCatalogue(root, "S").at("S.");
}

constexpr std::int32_t kInt = 1, kUInt = 2, kDouble = 3;

TEST(CatalogueTest, EveryElementBelowTheRootIsADataPointNamedByServiceAndDottedKey) {
  tul::test::ServiceHarness harness;
  auto service = harness.create(tul::test::serviceConfig(tul::test::kClosedAddress));  // default name
  EXPECT_TRUE(buildCatalogue(*service).empty());
  auto& model = harness.model();
  auto area = model.addElement({"Area", "", {}, {AttributeSpec("Mode", NativeType::kInt, kAccessRead, 32)}});
  auto boiler = model.addElement(
      {"Boiler", "", {}, {AttributeSpec("w", NativeType::kUInt, kAccessWrite, 32)}}, area.get());
  model.addElement({"Sensor"}, boiler.get());
  const std::vector<AttributeSpec> odd = {
      AttributeSpec("binary", NativeType::kBinary, kAccessRead),
      AttributeSpec("structure", NativeType::kStructure, kAccessReadWrite),
      AttributeSpec("error", NativeType::kErrorCode, kAccessRead),
      AttributeSpec("future", NativeType(16), kAccessRead), AttributeSpec("odd", NativeType::kBool, 7)};
  model.addElement({"E", "", {}, odd});
  const DataPointCatalogue catalogue = buildCatalogue(*service);
  EXPECT_EQ(catalogue.size(), 4u);
  const std::string s = "TULOrmantaService.";
  EXPECT_EQ(catalogue.at(s + "Area"), (MemberList{{"Mode", kInt, 32, kAccessRead}}))
      << "the host's name, key and UUID are left out";
  EXPECT_EQ(catalogue.at(s + "Area.Boiler"), (MemberList{{"w", kUInt, 32, kAccessWrite}}))
      << "a write-only attribute is described by its write handle";
  EXPECT_TRUE(catalogue.at(s + "Area.Boiler.Sensor").empty());
  // Codes 14 and 15 are left out; unknown codes and modes pass the walk and fail later.
  EXPECT_EQ(catalogue.at(s + "E"),
            (MemberList{{"error", 13, 64, kAccessRead}, {"future", 16, 0, kAccessRead}, {"odd", 0, 8, 7}}));
}

TEST(CatalogueTest, MembersLeaveOutTheHostsNamesSortByteWiseAndAreDescribedByAUsableHandle) {
  auto element = std::make_shared<ScriptedElement>();
  for (const char* name : {"b", "name", "B", "UUID", "\xC3\xA4", "Key", "a", "key", "ab"}) {
    element->add(name, 0, described<ReadHandle>(NativeType::kBool, 8));
  }
  element
      ->add("readable", 2, described<ReadHandle>(NativeType::kInt, 16),
            described<WriteHandle>(NativeType::kUInt, 32))
      .add("writeOnly", 1, described<ReadHandle>(NativeType::kString, 0, kDenied),
           described<WriteHandle>(NativeType::kInt, 8))
      .add("noReadHandle", 1, std::nullopt, described<WriteHandle>(NativeType::kDouble, 32))
      .add("neither", 2, described<ReadHandle>(NativeType::kInt, 8, kDenied),
           described<WriteHandle>(NativeType::kInt, 8, kDenied))
      .add("noHandles", 2, std::nullopt)
      // Only the value of a hard error counts, not its category.
      .add("zeroOfOtherCategory", 0, described<ReadHandle>(NativeType::kBool, 1, registrationError(0)))
      .add("nonZero", 0, described<ReadHandle>(NativeType::kBool, 1, registrationError(1)));
  const MemberList members = membersOf(element);
  ASSERT_EQ(members.size(), 10u);
  // Bytes compare unsigned: the UTF-8 lead byte 0xC3 sorts after every ASCII letter.
  EXPECT_EQ(namesOf(members), (Names{"B", "Key", "a", "ab", "b", "noReadHandle", "readable", "writeOnly",
                                     "zeroOfOtherCategory", "\xC3\xA4"}));
  EXPECT_EQ(members[5], (MemberDescription{"noReadHandle", kDouble, 32, 1}));
  EXPECT_EQ(members[6], (MemberDescription{"readable", kInt, 16, 2})) << "the read handle wins";
  EXPECT_EQ(members[7], (MemberDescription{"writeOnly", kInt, 8, 1}));
  EXPECT_EQ(members[8], (MemberDescription{"zeroOfOtherCategory", 0, 1, 0}));
}

TEST(CatalogueTest, OfElementsComposingOneNameTheFirstMetDepthFirstWins) {
  // first: A{fromFirst} > B{nested}; second: A{fromSecond} > B{sibling}, C{child}.
  auto first = ormanta::host::Model::create();
  auto second = ormanta::host::Model::create();
  auto firstA = first->addElement({"A", "", {}, {AttributeSpec("fromFirst", NativeType::kBool)}});
  first->addElement({"B", "", {}, {AttributeSpec("nested", NativeType::kBool)}}, firstA.get());
  auto secondA = second->addElement({"A", "", {}, {AttributeSpec("fromSecond", NativeType::kBool)}});
  auto secondB =
      second->addElement({"B", "", {}, {AttributeSpec("sibling", NativeType::kBool)}}, secondA.get());
  second->addElement({"C", "", {}, {AttributeSpec("child", NativeType::kBool)}}, secondA.get());
  ScriptedElement root;
  root.children = {firstA, secondB, secondA};
  const DataPointCatalogue catalogue = buildCatalogue(root, "S");
  EXPECT_EQ(catalogue.size(), 3u);
  EXPECT_EQ(namesOf(catalogue.at("S.A")), Names{"fromFirst"});
  EXPECT_EQ(namesOf(catalogue.at("S.A.B")), Names{"nested"}) << "a child is met before the next sibling";
  EXPECT_EQ(namesOf(catalogue.at("S.A.C")), Names{"child"}) << "the loser's children still count";
}

TEST(CatalogueTest, NamesThatAreNotUtf8AreLeftOutAsPeersCouldNotUseThem) {
  // Not UTF-8: a stray continuation byte, an overlong form, a surrogate, a code point above
  // U+10FFFF, a sequence cut short, a byte that never occurs.
  const Names bad = {"\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\xFF"};
  const Names good = {"", "plain", "\0"s, "\xC3\xA4", "\xE2\x82\xAC", "\xEF\xBF\xBF", "\xF4\x8F\xBF\xBF"};
  for (const std::string& text : bad)
    EXPECT_FALSE(isValidUtf8("ok" + text + "ok")) << testing::PrintToString(text);
  for (const std::string& text : good)
    EXPECT_TRUE(isValidUtf8("ok" + text + "ok")) << testing::PrintToString(text);
  EXPECT_FALSE(isValidUtf8("ends in \xF0\x9F\x98"));

  // Both bad keys would reach JSON as "K\uFFFD": two data points under one name, neither of
  // which the service answers to. A bad parent leaves its children out with it (their keys
  // start with its key); a bad attribute name leaves out just that member.
  const auto owner = ormanta::host::Model::create();
  ormanta::host::Model& model = *owner;
  const std::vector<AttributeSpec> attributes = {AttributeSpec("ok", NativeType::kBool),
                                                 AttributeSpec("bad\xFE", NativeType::kBool),
                                                 AttributeSpec("\xC3\xA4\0"s, NativeType::kBool)};
  auto parent = model.addElement({"K\xFF", "", {}, attributes});
  model.addElement({"Child"}, parent.get());
  model.addElement({"K\xFE", "", {}, attributes});
  model.addElement({"K\xC3\xA4\0"s, "", {}, attributes});
  const DataPointCatalogue catalogue = buildCatalogue(*model.root(), "S");
  ASSERT_EQ(catalogue.size(), 1u);
  EXPECT_EQ(namesOf(catalogue.at("S.K\xC3\xA4\0"s)), (Names{"ok", "\xC3\xA4\0"s}));
}

TEST(CatalogueTest, AStopEndsTheWalkBeforeTheNextElementAndYieldsNoCatalogue) {
  std::stop_source stop;
  const auto first = std::make_shared<ScriptedElement>(), stopper = std::make_shared<ScriptedElement>(),
             last = std::make_shared<ScriptedElement>(), child = std::make_shared<ScriptedElement>();
  ScriptedElement root;
  root.children = {first, stopper, last};
  stopper->children.push_back(child);
  stopper->onVisit = [&] { stop.request_stop(); };
  std::error_code code;
  try {
    buildCatalogue(root, "S", stop.get_token());
  } catch (const std::system_error& error) {
    code = error.code();
  }
  EXPECT_EQ(code, std::errc::operation_canceled);
  EXPECT_EQ(first->visits + stopper->visits, 2);
  EXPECT_EQ(child->visits + last->visits, 0) << "nothing is described after the stop";
}

TEST(DescribeMemberTest, TypeTextsSizesAndAccessLetters) {
  std::string described;  // codes 0 to 13 with bit size 16: numbers take it, Bool is 8, the rest are texts
  for (std::int32_t type = 0; type <= 13; ++type) {
    const NativeTypeDescription description = describeNativeType(type, 16);
    described += std::string(description.typeText) + " " + std::to_string(description.size) + ",";
  }
  EXPECT_EQ(described,
            "Bool 8,Int 16,UInt 16,Real 16,String 524288,String 524288,String 524288,String 524288,"
            "String 524288,String 46,String 36,String 80,String 144,String 524288,");
  EXPECT_EQ(describeNativeType(1, -1).size, UINT64_MAX) << "sign-extended";
  for (const std::int32_t type : {14, 15, 16, -1}) {
    EXPECT_EQ(tul::test::messageOf<std::invalid_argument>([&] { describeNativeType(type, 64); }),
              "Unsupported native type");
  }
  EXPECT_EQ(std::string(accessText(0)) + std::string(accessText(1)) + std::string(accessText(2)), "rwb");
  for (const std::int32_t mode : {3, -1}) {
    EXPECT_EQ(tul::test::messageOf<std::runtime_error>([&] { accessText(mode); }), "Unknown access modifier");
  }
}

// ---- records ----

// Each record's exact text is checked by RegistrationWorkerTest, escaping by JsonEncoderTest.

// The Boiler of the examples: a read-write Bool "On" and a read-only 64-bit Real "Temp".
const MemberList kBoiler = {{"On", 0, 8, 2}, {"Temp", 3, 64, 0}};
const std::string kBoilerType =
    R"([{"name":".On","type":"Bool","size":8,"access":"b","updateChn":".On"},)"
    R"({"name":".Temp","type":"Real","size":64,"access":"r","updateChn":".Temp"}])";

TEST(RunRecordsTest, EqualMemberListsShareATypeNamedInCatalogueOrderAndWrittenBeforeItsFirstUse) {
  RedisConnection connection("127.0.0.1:1");  // never opened
  RegistrationRun run(connection, "S");
  DataPointCatalogue catalogue;
  EXPECT_TRUE(run.encodeDataPoints(catalogue).empty());
  MemberList writable = kBoiler;
  writable[1].access = 2;  // one differing access mode
  catalogue.insert(
      {{"S.Boiler", kBoiler}, {"S.Pump", kBoiler}, {"S.Other", writable}, {"S.E1", {}}, {"S.E2", {}}});
  for (int i = 0; i < 8; ++i) {
    // Eight more lists, two data points each, so that later ones reuse a type already written.
    const MemberList members = {{"m", 1, 8 << (i % 4), i % 3}, {std::string(i / 4 + 1, 'x'), 0, 8, 0}};
    catalogue["S.P" + std::to_string(i)] = catalogue["S.Q" + std::to_string(i)] = members;
  }
  Names order;
  for (const auto& entry : catalogue) order.push_back(entry.first);

  Names typeNames, dataPoints;
  std::map<std::string, std::string> types, typeOf, points;
  for (const RedisRecord& record : run.encodeDataPoints(catalogue)) {
    ASSERT_EQ(record.fields.size(), 1u);
    const auto& [field, value] = *record.fields.begin();
    if (record.key == "S.DataTypes") {
      typeNames.push_back(field);
      types[field] = value;
      continue;
    }
    EXPECT_EQ(record.key, "S.DataPoints");
    dataPoints.push_back(field);
    points[field] = value;
    typeOf[field] = decoder::Document::parse(value).root().asObject().find("type")->asString().view();
    EXPECT_TRUE(types.contains(typeOf[field])) << field << " names a type not written before it";
  }
  EXPECT_EQ(dataPoints, order);
  EXPECT_EQ(typeNames,
            (Names{"t_1", "t_2", "t_3", "t_4", "t_5", "t_6", "t_7", "t_8", "t_9", "t_10", "t_11"}));
  EXPECT_EQ(typeOf["S.Boiler"], typeOf["S.Pump"]);
  EXPECT_EQ(types[typeOf["S.Boiler"]], kBoilerType);
  EXPECT_EQ(points["S.Pump"], R"({"name":"S.Pump","type":")" + typeOf["S.Pump"] +
                                  R"(","size":72,"access":"b","updateChn":"SValue:S.Pump"})");
  EXPECT_NE(types[typeOf["S.Other"]].find(R"("name":".Temp","type":"Real","size":64,"access":"b")"),
            std::string::npos);
  EXPECT_EQ(typeOf["S.E1"], typeOf["S.E2"]);
  EXPECT_EQ(types[typeOf["S.E1"]], "[]");
  EXPECT_EQ(points["S.E1"], R"({"name":"S.E1","type":")" + typeOf["S.E1"] +
                                R"(","size":0,"access":"b","updateChn":"SValue:S.E1"})");
}

TEST(RunRecordsTest, AStopEndsTheEncodingOfAMillionDataPointsWithin200MsAndTheRunIsReleasedWithoutWaiting) {
  RedisConnection connection("127.0.0.1:1");  // never opened
  std::stop_source stop;
  RunReleaser releaser;
  Clock::time_point requested, returned, handedOver, released;
  std::error_code code;
  std::size_t recordsMade = 0;
  constexpr std::size_t kPoints = 1'000'000;
  const MemberList members = {{"OperatingHoursCounter", 2, 64, 0}, {"TemperatureSetpoint", 3, 64, 2}};
  // On a thread of its own, as the registration worker: memory freed there is slower to free.
  std::thread worker([&] {
    auto run = std::make_unique<RegistrationRun>(connection, "TULOrmantaService", stop.get_token());
    run->catalogue.reserve(kPoints);
    for (std::size_t i = 0; i < kPoints; ++i) {
      run->catalogue.emplace(
          "TULOrmantaService.Area" + std::to_string(i / 1000) + ".Device" + std::to_string(i), members);
    }
    requested = Clock::now() + 50ms;  // encoding them all takes seconds
    std::thread stopper([&] {
      std::this_thread::sleep_until(requested);
      stop.request_stop();
    });
    try {
      run->encodeDataPoints(run->catalogue);
    } catch (const std::system_error& error) {
      code = error.code();
    }
    returned = Clock::now();
    stopper.join();
    recordsMade = run->records.size();
    // Freeing what the run holds takes long as well: the worker hands it over instead.
    handedOver = Clock::now();
    releaser.release(std::move(run));
    released = Clock::now();
  });
  worker.join();
  EXPECT_EQ(code, std::errc::operation_canceled);
  EXPECT_LT(returned - requested, 200ms);
  EXPECT_GT(recordsMade, 0u) << "the stop must come mid-way";
  EXPECT_LT(recordsMade, kPoints);
  // The hand-over is one queue entry; freeing takes hundreds of milliseconds, seconds when busy.
  EXPECT_LT(released - handedOver, 100ms);
}  // the releaser's destructor waits until the run is freed

}  // namespace
