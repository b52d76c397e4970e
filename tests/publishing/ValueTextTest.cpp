// The text each native type is published as.

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "ormanta/host/Model.h"
#include "plugin/ErrorCategories.h"
#include "publishing/ValueText.h"

namespace {

using namespace ormanta;
using data::NativeType;
using plugins::TulService::valueText;

class ValueTextTest : public ::testing::Test {
 protected:
  std::optional<std::string> textOf(NativeType type, data::Value value, std::int32_t access = model::kAccessRead) {
    const std::string key = "E" + std::to_string(next++);
    auto element = model->addElement({key, "", {}, {{"A", type, access, 64, std::move(value)}}});
    std::optional<model::Attribute> attribute;
    element->forEachAttribute([&](const model::Attribute& a) { return a.name() == "A" ? (attribute = a, true) : false; });
    return valueText(element->attributeReadHandle(*attribute));
  }

  std::shared_ptr<host::Model> model = host::Model::create();
  int next = 0;
};

TEST_F(ValueTextTest, BooleansAreWords) {
  EXPECT_EQ(textOf(NativeType::kBool, false), "false");
  EXPECT_EQ(textOf(NativeType::kBool, true), "true");
}

TEST_F(ValueTextTest, IntegersInDecimalIncludingTheExtremes) {
  EXPECT_EQ(textOf(NativeType::kInt, std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(textOf(NativeType::kInt, std::int64_t{0}), "0");
  EXPECT_EQ(textOf(NativeType::kUInt, std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
}

TEST_F(ValueTextTest, DoublesAsShortestRoundTripText) {
  EXPECT_EQ(textOf(NativeType::kDouble, 21.5), "21.5");
  EXPECT_EQ(textOf(NativeType::kDouble, 0.1), "0.1");
  EXPECT_EQ(textOf(NativeType::kDouble, 1e20), "1e+20");
  EXPECT_EQ(textOf(NativeType::kDouble, -std::numeric_limits<double>::denorm_min()), "-5e-324");
  EXPECT_EQ(textOf(NativeType::kDouble, std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(textOf(NativeType::kDouble, std::nan("")), "nan");
  const auto longest = textOf(NativeType::kDouble, -2.2250738585072014e-308);
  ASSERT_TRUE(longest);
  EXPECT_EQ(longest->size(), 24u);
}

TEST_F(ValueTextTest, TextsArePassedOnWhole) {
  EXPECT_EQ(textOf(NativeType::kString, std::string()), "");
  const std::string withZero("a\0b", 3);
  EXPECT_EQ(textOf(NativeType::kJson, withZero), withZero);
  EXPECT_EQ(textOf(NativeType::kName, std::string(100000, 'x'))->size(), 100000u);
}

TEST_F(ValueTextTest, TimePointsAsIsoUtcText) {
  const utils::chrono::TimePoint time{utils::chrono::Ticks(17'651'234'561'234'567LL)};
  EXPECT_EQ(textOf(NativeType::kTimePoint, time), "2025-12-07T16:04:16.1234567Z");
  EXPECT_EQ(textOf(NativeType::kTimePoint, utils::chrono::TimePoint{}), "1970-01-01T00:00:00.0000000Z");
}

TEST_F(ValueTextTest, UuidsQualitiesCategoriesAndErrorCodes) {
  auto uuid = utils::core::Uuid::fromStringInternal("595E1EE2-95CA-4CE0-883F-535893CB4B7C");
  EXPECT_EQ(textOf(NativeType::kUuid, *uuid), "595e1ee2-95ca-4ce0-883f-535893cb4b7c");
  EXPECT_EQ(textOf(NativeType::kQuality, data::Quality::kUncertain), "Uncertain");
  EXPECT_EQ(textOf(NativeType::kCategory, model::ElementCategory::kPump), "Pump");
  EXPECT_EQ(textOf(NativeType::kErrorCode, plugins::TulService::connectionError(0)), "no error");
  EXPECT_EQ(textOf(NativeType::kErrorCode, std::make_error_code(std::errc::timed_out)), "Connection timed out");
}

TEST_F(ValueTextTest, NoTextForUnsupportedTypesOrUnreadableValues) {
  EXPECT_EQ(textOf(NativeType::kBinary, {}), std::nullopt);
  EXPECT_EQ(textOf(NativeType::kStructure, {}), std::nullopt);
  EXPECT_EQ(textOf(NativeType(16), {}), std::nullopt);
  EXPECT_EQ(textOf(NativeType::kDouble, 1.0, model::kAccessWrite), std::nullopt);
  EXPECT_EQ(valueText(data::ReadHandle()), std::nullopt);
}

}  // namespace
