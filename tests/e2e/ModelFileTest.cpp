// The runner's model file, value texts and simulation, without processes.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "TestModel.h"
#include "host/ModelFile.h"
#include "host/Simulator.h"
#include "host/ValueConversion.h"
#include "ormanta/process/EventHandler.h"

namespace ormanta::apps {
namespace {

using data::NativeType;
using namespace std::chrono_literals;

std::string buildError(std::string_view text) {
  auto model = host::Model::create();
  try {
    buildModel(text, *model);
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no error";
}

TEST(ModelFileTest, NestedElementsGetDotJoinedKeysAndTheirValues) {
  auto model = host::Model::create();
  const std::vector<SimulatedAttribute> simulated = buildModel(tul::test::kTestModel, *model);
  EXPECT_EQ(model->elementCount(), 3u);
  ASSERT_TRUE(model->findElement("Boiler.Pump"));
  EXPECT_EQ(model->findElement("Boiler.Pump")->category(), model::ElementCategory::kPump);
  EXPECT_EQ(std::get<double>(*model->readValue("Boiler", "Setpoint")), 21.0);
  EXPECT_EQ(std::get<std::string>(*model->readValue("Boiler", "name")), "Boiler 1");
  EXPECT_EQ(std::get<std::string>(*model->readValue("Empty", "name")), "Empty")
      << "the name defaults to the key";
  EXPECT_EQ(std::get<std::uint64_t>(*model->readValue("Boiler.Pump", "Speed")), 1200u);
  EXPECT_EQ(std::get<data::Quality>(*model->readValue("Boiler.Pump", "Q")), data::Quality::kGood);
  ASSERT_EQ(simulated.size(), 1u);
  EXPECT_EQ(simulated[0].primaryKey, "Boiler");
  EXPECT_EQ(simulated[0].attribute, "Count");
}

TEST(ModelFileTest, DefaultsAreTheZeroValueAndReadAccess) {
  auto model = host::Model::create();
  buildModel(R"({"elements":[{"key":"E","attributes":[
      {"name":"B","type":"bool"},{"name":"T","type":"time"},{"name":"U","type":"uuid"},
      {"name":"C","type":"category"},{"name":"X","type":"errorCode"},{"name":"S","type":"string"}]}]})",
             *model);
  EXPECT_EQ(valueText(*model->readValue("E", "B")), "false");
  EXPECT_EQ(valueText(*model->readValue("E", "T")), "1970-01-01T00:00:00.0000000Z");
  EXPECT_EQ(valueText(*model->readValue("E", "U")), "00000000-0000-0000-0000-000000000000");
  EXPECT_EQ(valueText(*model->readValue("E", "C")), "Generic");
  EXPECT_EQ(std::get<std::error_code>(*model->readValue("E", "X")), std::error_code());
  EXPECT_EQ(valueText(*model->readValue("E", "S")), "");
  bool allRead = true;
  model->findElement("E")->forEachAttribute([&](const model::Attribute& attribute) {
    allRead = allRead && attribute.accessMode() == model::kAccessRead;
    return false;
  });
  EXPECT_TRUE(allRead);
}

TEST(ModelFileTest, ErrorsNameTheJsonPathOfTheProblem) {
  EXPECT_EQ(buildError(R"({"elements":[{"key":"A","attributes":[{"name":"X","type":"int","access":"rw"}]}]})")
                .rfind("$.elements[0].attributes[0].access: unknown access \"rw\"", 0),
            0u);
  EXPECT_EQ(buildError(R"({"elements":[{"key":"A","children":[{"key":"B","colour":1}]}]})")
                .rfind("$.elements[0].children[0].colour: unknown member", 0),
            0u);
  EXPECT_NE(buildError(R"({"elements":[{"key":"A","attributes":[{"name":"X","type":"int","value":1.5}]}]})")
                .find("$.elements[0].attributes[0].value"),
            std::string::npos);
  EXPECT_NE(buildError(R"({"elements":[{"key":"A","attributes":[{"name":"X","type":"int","bitSize":12}]}]})")
                .find("$.elements[0].attributes[0].bitSize: must be 8, 16, 32 or 64"),
            std::string::npos);
  EXPECT_NE(
      buildError(
          R"({"elements":[{"key":"A","attributes":[{"name":"X","type":"int","bitSize":8,"value":300}]}]})")
          .find("$.elements[0]"),
      std::string::npos);
  EXPECT_NE(
      buildError(
          R"({"elements":[{"key":"A","attributes":[{"name":"X","type":"string","simulate":{"kind":"sine","periodMs":100}}]}]})")
          .find("$.elements[0].attributes[0].simulate.kind"),
      std::string::npos);
  EXPECT_NE(
      buildError(
          R"({"elements":[{"key":"A","attributes":[{"name":"X","type":"double","simulate":{"kind":"random","periodMs":100}}]}]})")
          .find("needs members \"min\" and \"max\""),
      std::string::npos);
  EXPECT_NE(
      buildError(
          R"({"elements":[{"key":"A","attributes":[{"name":"X","type":"bool","simulate":{"kind":"toggle","periodMs":0}}]}]})")
          .find("periodMs: must be at least 1"),
      std::string::npos);
  EXPECT_NE(buildError(R"({"elements":[{"key":"A","attributes":[{"name":"name","type":"bool"}]}]})")
                .find("reserved"),
            std::string::npos);
  EXPECT_NE(buildError(R"({"elements":[{"key":"A"},{"key":"A"}]})").find("$.elements[1]"), std::string::npos);
  EXPECT_NE(buildError(R"({"elements":[{"name":"A"}]})").find("$.elements[0]: missing member \"key\""),
            std::string::npos);
  EXPECT_NE(buildError(
                R"({"elements":[{"key":"A","attributes":[{"name":"T","type":"time","value":"yesterday"}]}]})")
                .find("$.elements[0].attributes[0].value"),
            std::string::npos);
  EXPECT_NE(buildError("[1]").find("$"), std::string::npos);
  EXPECT_NE(buildError("{").find("invalid JSON"), std::string::npos);
}

TEST(ValueConversionTest, TextsRoundTripForEveryType) {
  const std::vector<std::pair<NativeType, std::string>> cases = {
      {NativeType::kBool, "true"},
      {NativeType::kBool, "false"},
      {NativeType::kInt, "-9223372036854775808"},
      {NativeType::kUInt, "18446744073709551615"},
      {NativeType::kDouble, "21.5"},
      {NativeType::kDouble, "1e+20"},
      {NativeType::kDouble, "-inf"},
      {NativeType::kString, ""},
      {NativeType::kString, " spaced text "},
      {NativeType::kTimePoint, "2026-12-06T08:43:04.1234567Z"},
      {NativeType::kUuid, "595e1ee2-95ca-4ce0-883f-535893cb4b7c"},
      {NativeType::kQuality, "NotConnected"},
      {NativeType::kCategory, "Conveyor"},
  };
  for (const auto& [type, text] : cases) {
    EXPECT_EQ(valueText(parseValueText(type, text)), text) << nativeTypeName(type);
  }
  EXPECT_TRUE(std::isnan(std::get<double>(parseValueText(NativeType::kDouble, "nan"))));
  EXPECT_EQ(valueText(parseValueText(NativeType::kQuality, "1")), "Uncertain");
  EXPECT_EQ(valueText(parseValueText(NativeType::kCategory, "14")), "Service");
  EXPECT_EQ(std::get<std::error_code>(parseValueText(NativeType::kErrorCode, "0")), std::error_code());
  EXPECT_EQ(std::get<std::error_code>(parseValueText(NativeType::kErrorCode, "2")),
            std::error_code(2, std::generic_category()));
  EXPECT_FALSE(valueText(data::Value{}).has_value());
}

TEST(ValueConversionTest, TextsThatAreNotWholeValuesAreRefused) {
  const std::vector<std::pair<NativeType, std::string>> cases = {
      {NativeType::kBool, "TRUE"},
      {NativeType::kBool, "1"},
      {NativeType::kInt, "12abc"},
      {NativeType::kInt, ""},
      {NativeType::kInt, "9223372036854775808"},
      {NativeType::kUInt, "-1"},
      {NativeType::kDouble, "+1"},
      {NativeType::kDouble, "1.5 "},
      {NativeType::kTimePoint, "noon"},
      {NativeType::kUuid, "595e1ee2"},
      {NativeType::kQuality, "good"},
      {NativeType::kQuality, "4"},
      {NativeType::kCategory, "16"},
      {NativeType::kErrorCode, "x"},
      {NativeType::kBinary, ""},
  };
  for (const auto& [type, text] : cases) {
    EXPECT_THROW(parseValueText(type, text), std::invalid_argument)
        << nativeTypeName(type) << " \"" << text << "\"";
  }
}

class BatchCounter final : public process::EventHandler {
 public:
  void onChange() override { ++changes; }
  void afterChanges() override { ++batches; }
  int changes = 0;
  int batches = 0;
};

TEST(SimulatorTest, ChangesDueInOneTickArriveAsOneBatch) {
  auto model = host::Model::create();
  std::vector<SimulatedAttribute> simulated = buildModel(R"({"elements":[{"key":"E","attributes":[
      {"name":"N","type":"int","bitSize":8,"value":126,"simulate":{"kind":"counter","periodMs":100}},
      {"name":"F","type":"bool","simulate":{"kind":"toggle","periodMs":100}},
      {"name":"R","type":"double","simulate":{"kind":"random","periodMs":100,"min":5,"max":6}},
      {"name":"S","type":"double","value":10,"simulate":{"kind":"sine","periodMs":400,"stepMs":100,"amplitude":2}}]}]})",
                                                         *model);
  const auto start = Simulator::Clock::time_point{} + 1h;
  Simulator simulator(model, std::move(simulated), start, 42);
  EXPECT_EQ(simulator.nextDue(), start + 100ms);

  BatchCounter counter;
  const auto element = model->findElement("E");
  std::vector<data::ReadHandle> handles;
  element->forEachAttribute([&](const model::Attribute& attribute) {
    if (attribute.name().size() == 1) {
      handles.push_back(element->attributeReadHandle(attribute));
      EXPECT_FALSE(handles.back().addChangeHandler(counter));
    }
    return false;
  });

  EXPECT_EQ(simulator.tick(start + 50ms), 0u) << "nothing is due yet";
  EXPECT_EQ(simulator.tick(start + 100ms), 4u);
  EXPECT_EQ(counter.changes, 4);
  EXPECT_EQ(counter.batches, 1);
  EXPECT_EQ(std::get<std::int64_t>(*model->readValue("E", "N")), 127);
  EXPECT_TRUE(std::get<bool>(*model->readValue("E", "F")));
  const double r = std::get<double>(*model->readValue("E", "R"));
  EXPECT_TRUE(r >= 5 && r <= 6) << r;
  EXPECT_EQ(std::round(r * 100) / 100, r) << "simulated doubles have two decimals unless told otherwise";
  EXPECT_NEAR(std::get<double>(*model->readValue("E", "S")), 12.0, 1e-9) << "a quarter period: the crest";

  // A counter past its bit size starts over from its initial value; missed periods are skipped.
  EXPECT_EQ(simulator.tick(start + 350ms), 4u);
  EXPECT_EQ(std::get<std::int64_t>(*model->readValue("E", "N")), 126);
  EXPECT_FALSE(std::get<bool>(*model->readValue("E", "F")));
  EXPECT_EQ(simulator.nextDue(), start + 400ms);
  EXPECT_EQ(counter.batches, 2);
  for (const auto& handle : handles) handle.removeChangeHandler(counter);
}

}  // namespace
}  // namespace ormanta::apps
