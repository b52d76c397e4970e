// The text each native type is published as. The number and time texts themselves are the
// host's formatNumber and formatIsoDateTime, tested there; one value each shows the dispatch.

#include <gtest/gtest.h>

#include <limits>
#include <tuple>

#include "plugin/ErrorCategories.h"
#include "publishing/ValueText.h"
#include "support/UnitFixtures.h"

namespace {

using namespace ormanta;
using data::NativeType;
using plugins::TulService::valueText;

TEST(ValueTextTest, EachNativeTypeHasItsTextAndTypesWithoutAValueOrUnreadableValuesHaveNone) {
  const auto model = host::Model::create();
  int next = 0;
  const auto textOf = [&](NativeType type, data::Value value, std::int32_t access = model::kAccessRead) {
    const std::string key = "E" + std::to_string(next++);
    auto element = model->addElement({key, "", {}, {{"A", type, access, 64, value}}});
    return valueText(element->attributeReadHandle(*tul::test::attributeNamed(*element, "A")));
  };
  const auto uuid = *utils::core::Uuid::fromStringInternal("595E1EE2-95CA-4CE0-883F-535893CB4B7C");
  const std::tuple<NativeType, data::Value, const char*> cases[] = {
      {NativeType::kBool, false, "false"},
      {NativeType::kBool, true, "true"},
      {NativeType::kInt, std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
      {NativeType::kUInt, std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
      {NativeType::kDouble, 21.5, "21.5"},
      {NativeType::kString, std::string(), ""},
      {NativeType::kTimePoint, utils::chrono::TimePoint{utils::chrono::Ticks(17'651'234'561'234'567LL)},
       "2025-12-07T16:04:16.1234567Z"},
      {NativeType::kUuid, uuid, "595e1ee2-95ca-4ce0-883f-535893cb4b7c"},
      {NativeType::kQuality, data::Quality::kUncertain, "Uncertain"},
      {NativeType::kCategory, model::ElementCategory::kPump, "Pump"},
      {NativeType::kErrorCode, plugins::TulService::connectionError(0), "no error"},
      {NativeType::kErrorCode, std::make_error_code(std::errc::timed_out), "Connection timed out"}};
  for (const auto& [type, value, expected] : cases) EXPECT_EQ(textOf(type, value), expected) << expected;
  // Texts are passed on whole, zero bytes and length included.
  const std::string withZero("a\0b", 3);
  EXPECT_EQ(textOf(NativeType::kJson, withZero), withZero);
  EXPECT_EQ(textOf(NativeType::kName, std::string(100000, 'x'))->size(), 100000u);

  for (const NativeType type : {NativeType::kBinary, NativeType::kStructure, NativeType(16)})
    EXPECT_EQ(textOf(type, {}), std::nullopt) << static_cast<int>(type);
  EXPECT_EQ(textOf(NativeType::kDouble, 1.0, model::kAccessWrite), std::nullopt) << "write-only";
  EXPECT_EQ(valueText(data::ReadHandle()), std::nullopt);
}

}  // namespace
