#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

#include "ormanta/utils/chrono/IsoDateTime.h"

namespace {

using ormanta::utils::chrono::formatIsoDateTime;
using ormanta::utils::chrono::parseIsoDateTime;
using ormanta::utils::chrono::Ticks;
using ormanta::utils::chrono::TimePoint;
using Offset = std::optional<std::int32_t>;

std::string format(TimePoint time, Offset offset = std::nullopt) {
  char buffer[64];
  return std::string(buffer, formatIsoDateTime(buffer, sizeof buffer, time, offset));
}

TimePoint at(int y, unsigned m, unsigned d, int hh = 0, int mm = 0, int ss = 0, std::int64_t ticks = 0) {
  const std::chrono::sys_days day{std::chrono::year{y} / m / d};
  return TimePoint(
      Ticks((day.time_since_epoch().count() * 86400LL + (hh * 60LL + mm) * 60 + ss) * 10'000'000 + ticks));
}

// The parsed time, or TimePoint::min() with a failure.
TimePoint parsed(std::string_view text) {
  const auto result = parseIsoDateTime(text);
  EXPECT_TRUE(result.hasValue()) << "refused \"" << text << "\"";
  return result ? *result : TimePoint::min();
}

TEST(IsoDateTimeTest, FormatsUtcWithZOrTheLocalTimeWithItsOffset) {
  const TimePoint time = at(2026, 12, 6, 13, 45, 30, 1234567);
  const std::tuple<TimePoint, Offset, const char*> cases[] = {
      {TimePoint(Ticks(-1)), {}, "1969-12-31T23:59:59.9999999Z"},
      {time, {}, "2026-12-06T13:45:30.1234567Z"},
      {time, 0, "2026-12-06T13:45:30.1234567+00:00"},
      {time, -330, "2026-12-06T08:15:30.1234567-05:30"},
      {at(2024, 2, 29, 23, 30), 60, "2024-03-01T00:30:00.0000000+01:00"},
      {at(0, 1, 1) - Ticks(1), {}, "-00001-12-31T23:59:59.9999999Z"},
      {TimePoint::max(), 1439, "+31197-09-15T02:47:05.4775807+23:59"},  // the longest text
      {TimePoint::min(), -1439, "-27258-04-18T21:12:54.5224192-23:59"}};
  for (const auto& [t, offset, expected] : cases) EXPECT_EQ(format(t, offset), expected);
  EXPECT_EQ(std::strlen(std::get<2>(cases[6])), ormanta::utils::chrono::kMaxIsoDateTimeLength);

  char buffer[16] = "###############";
  EXPECT_EQ(formatIsoDateTime(buffer, 10, TimePoint()), 28u)
      << "a short buffer gets the start and the full length";
  EXPECT_EQ(std::string(buffer), "1970-01-01#####");
  EXPECT_THROW(formatIsoDateTime(buffer, sizeof buffer, TimePoint(), 1440), std::invalid_argument);
  EXPECT_THROW(formatIsoDateTime(buffer, sizeof buffer, TimePoint(), -1440), std::invalid_argument);
}

TEST(IsoDateTimeTest, ParsesWhatItFormatsAndTheUsualShorterForms) {
  std::mt19937_64 random(99);
  for (int i = 0; i < 2000; ++i) {
    const TimePoint time(Ticks(static_cast<std::int64_t>(random())));
    for (const Offset offset : {Offset(), Offset(1439), Offset(-210)})
      ASSERT_EQ(parsed(format(time, offset)), time);
  }
  EXPECT_EQ(parsed("2026-12-06"), at(2026, 12, 6));
  EXPECT_EQ(parsed("2026-12-06 13:45:30+0100"), at(2026, 12, 6, 12, 45, 30));
  EXPECT_EQ(parsed("2026-12-06t13:45:30,25z"), at(2026, 12, 6, 13, 45, 30, 2500000));
  EXPECT_EQ(parsed("2026-12-06T13:45:30.123456789Z"), at(2026, 12, 6, 13, 45, 30, 1234567));
  EXPECT_EQ(parsed("+31197-09-15T02:47:05.4775807+23:59"), TimePoint::max()) << "local time past the end";
}

template <class... Texts>
void expectRefused(Texts... texts) {
  for (const std::string_view text : {std::string_view(texts)...}) {
    const auto result = parseIsoDateTime(text);
    EXPECT_FALSE(result.hasValue()) << "accepted \"" << text << "\"";
    EXPECT_EQ(result.error(), std::make_error_code(std::errc::invalid_argument)) << text;
  }
}

TEST(IsoDateTimeTest, MalformedOrOutOfRangeTextGivesAnErrorCode) {
  using namespace std::string_view_literals;
  expectRefused("", "2026-12", "2026-1-06", "20261206", "02026-12-06", "2026/12/06", "2026-13-01",
                "2026-12-00", "2026-04-31", "2025-02-29", "1900-02-29", "2026-12-06T", "2026-12-06T13",
                "2026-12-06T24:00:00Z", "2026-12-06T13:45:60Z", "2026-12-06T13:45:30.Z",
                "2026-12-06T13:45:30.1234567890Z", "2026-12-06T13:45:30+24:00", "2026-12-06T13:45:30+01",
                "2026-12-06T13:45:30 +01:00", "2026-12-06T13:45:30Z ", " 2026-12-06", "2026-12-06Z",
                "+-2026-12-06", "2026-12-06\0T13:45:30Z"sv);
  expectRefused("+31197-09-14T02:48:05.4775808Z", "-27258-04-19T21:11:54.5224191Z",
                "+999999999-12-31T23:59:59.9999999-23:59");  // outside the tick range
}

}  // namespace
