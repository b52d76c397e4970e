#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>

#include "ormanta/utils/chrono/IsoDateTime.h"

namespace {

using ormanta::utils::chrono::formatIsoDateTime;
using ormanta::utils::chrono::kMaxIsoDateTimeLength;
using ormanta::utils::chrono::parseIsoDateTime;
using ormanta::utils::chrono::Ticks;
using ormanta::utils::chrono::TimePoint;

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kTicksPerDay = 86'400 * kTicksPerSecond;

std::string format(TimePoint time, std::optional<std::int32_t> offset = std::nullopt) {
  char buffer[64];
  const std::size_t length = formatIsoDateTime(buffer, sizeof buffer, time, offset);
  return std::string(buffer, length);
}

TimePoint at(int y, unsigned m, unsigned d, int hh = 0, int mm = 0, int ss = 0, std::int64_t ticks = 0) {
  using namespace std::chrono;
  const sys_days day{year{y} / month{m} / std::chrono::day{d}};
  return TimePoint(Ticks(day.time_since_epoch().count() * kTicksPerDay +
                         ((hh * 60LL + mm) * 60 + ss) * kTicksPerSecond + ticks));
}

// The calendar part computed by std::chrono, which covers the whole tick range (years
// -32767..32767); days are never turned back into ticks, which would overflow at the ends.
std::string calendarOracle(TimePoint time, std::optional<std::int32_t> offset) {
  const std::int64_t ticks = time.time_since_epoch().count();
  std::int64_t days = ticks / kTicksPerDay;
  std::int64_t tickOfDay = ticks % kTicksPerDay;
  if (tickOfDay < 0) {
    tickOfDay += kTicksPerDay;
    --days;
  }
  tickOfDay += offset.value_or(0) * 60 * kTicksPerSecond;
  if (tickOfDay < 0) {
    tickOfDay += kTicksPerDay;
    --days;
  } else if (tickOfDay >= kTicksPerDay) {
    tickOfDay -= kTicksPerDay;
    ++days;
  }
  const std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{days}}};
  const int y = static_cast<int>(date.year());
  char yearText[16];
  if (y >= 0 && y <= 9999) {
    std::snprintf(yearText, sizeof yearText, "%04d", y);
  } else {
    std::snprintf(yearText, sizeof yearText, "%c%05d", y < 0 ? '-' : '+', y < 0 ? -y : y);
  }
  const std::int64_t seconds = tickOfDay / kTicksPerSecond;
  char text[64];
  std::snprintf(text, sizeof text, "%s-%02u-%02uT%02lld:%02lld:%02lld.%07lld", yearText,
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                static_cast<long long>(seconds % 60), static_cast<long long>(tickOfDay % kTicksPerSecond));
  std::string result = text;
  if (!offset) return result + "Z";
  const int magnitude = *offset < 0 ? -*offset : *offset;
  std::snprintf(text, sizeof text, "%c%02d:%02d", *offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  return result + text;
}

void expectInvalid(std::string_view text) {
  const auto parsed = parseIsoDateTime(text);
  EXPECT_FALSE(parsed.hasValue()) << "accepted \"" << std::string(text) << "\"";
  EXPECT_EQ(parsed.error(), std::make_error_code(std::errc::invalid_argument)) << std::string(text);
}

TEST(IsoDateTimeTest, FormatsUtcWithSevenFractionDigits) {
  EXPECT_EQ(format(TimePoint()), "1970-01-01T00:00:00.0000000Z");
  EXPECT_EQ(format(at(2026, 12, 6, 13, 45, 30, 1234567)), "2026-12-06T13:45:30.1234567Z");
  EXPECT_EQ(format(at(2024, 2, 29, 23, 59, 59, 9999999)), "2024-02-29T23:59:59.9999999Z");
  EXPECT_EQ(format(TimePoint(Ticks(-1))), "1969-12-31T23:59:59.9999999Z");
  EXPECT_EQ(format(TimePoint(Ticks(1))), "1970-01-01T00:00:00.0000001Z");
}

TEST(IsoDateTimeTest, OffsetShowsLocalTime) {
  const TimePoint time = at(2026, 12, 6, 13, 45, 30, 1234567);
  EXPECT_EQ(format(time, 60), "2026-12-06T14:45:30.1234567+01:00");
  EXPECT_EQ(format(time, -330), "2026-12-06T08:15:30.1234567-05:30");
  EXPECT_EQ(format(time, 0), "2026-12-06T13:45:30.1234567+00:00");
  EXPECT_EQ(format(at(2026, 12, 31, 23, 30), 60), "2027-01-01T00:30:00.0000000+01:00");
  EXPECT_EQ(format(at(2027, 1, 1, 0, 10), -60), "2026-12-31T23:10:00.0000000-01:00");
  EXPECT_EQ(format(at(2026, 1, 1), 1439), "2026-01-01T23:59:00.0000000+23:59");
  EXPECT_EQ(format(at(2026, 1, 1), -1439), "2025-12-31T00:01:00.0000000-23:59");
}

TEST(IsoDateTimeTest, RefusesOffsetsBeyondADay) {
  char buffer[64];
  EXPECT_THROW(formatIsoDateTime(buffer, sizeof buffer, TimePoint(), 1440), std::invalid_argument);
  EXPECT_THROW(formatIsoDateTime(buffer, sizeof buffer, TimePoint(), -1440), std::invalid_argument);
  EXPECT_THROW(
      formatIsoDateTime(buffer, sizeof buffer, TimePoint(), std::numeric_limits<std::int32_t>::min()),
      std::invalid_argument);
  EXPECT_THROW(
      formatIsoDateTime(buffer, sizeof buffer, TimePoint(), std::numeric_limits<std::int32_t>::max()),
      std::invalid_argument);
}

TEST(IsoDateTimeTest, YearsOutsideFourDigitsUseTheExpandedForm) {
  EXPECT_EQ(format(at(0, 1, 1)), "0000-01-01T00:00:00.0000000Z");
  EXPECT_EQ(format(at(0, 1, 1) - Ticks(1)), "-00001-12-31T23:59:59.9999999Z");
  EXPECT_EQ(format(at(9999, 12, 31, 23, 59, 59, 9999999)), "9999-12-31T23:59:59.9999999Z");
  EXPECT_EQ(format(at(10000, 1, 1)), "+10000-01-01T00:00:00.0000000Z");
  EXPECT_EQ(format(at(-12345, 6, 7)), "-12345-06-07T00:00:00.0000000Z");
}

TEST(IsoDateTimeTest, WholeTickRangeFormatsWithoutOverflow) {
  const TimePoint max = TimePoint::max();
  const TimePoint min = TimePoint::min();
  EXPECT_EQ(format(max), "+31197-09-14T02:48:05.4775807Z");
  EXPECT_EQ(format(min), "-27258-04-19T21:11:54.5224192Z");
  EXPECT_EQ(format(max, 1439), "+31197-09-15T02:47:05.4775807+23:59");
  EXPECT_EQ(format(min, -1439), "-27258-04-18T21:12:54.5224192-23:59");
  EXPECT_EQ(format(max, 1439).size(), kMaxIsoDateTimeLength);
  EXPECT_EQ(format(min, -1439).size(), kMaxIsoDateTimeLength);
}

TEST(IsoDateTimeTest, ShortBufferGetsTheStartAndTheFullLength) {
  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(formatIsoDateTime(buffer, 10, TimePoint()), 28u);
  EXPECT_EQ(std::string(buffer, 16), "1970-01-01######");
  EXPECT_EQ(formatIsoDateTime(nullptr, 0, TimePoint(), 60), 33u);
}

TEST(IsoDateTimeTest, AgreesWithTheStandardCalendarOverTheWholeRange) {
  std::mt19937_64 random(1234);
  for (int i = 0; i < 100000; ++i) {
    const TimePoint time(Ticks(static_cast<std::int64_t>(random())));
    std::optional<std::int32_t> offset;
    if (i % 3 != 0) offset = static_cast<std::int32_t>(random() % 2879) - 1439;
    ASSERT_EQ(format(time, offset), calendarOracle(time, offset));
  }
}

TEST(IsoDateTimeTest, ParsesWhatItFormats) {
  std::mt19937_64 random(99);
  std::vector<TimePoint> times = {TimePoint::min(), TimePoint::max(), TimePoint(),   TimePoint(Ticks(-1)),
                                  at(0, 1, 1),      at(10000, 1, 1),  at(-1, 12, 31)};
  for (int i = 0; i < 50000; ++i) times.emplace_back(Ticks(static_cast<std::int64_t>(random())));
  for (const TimePoint time : times) {
    for (const std::optional<std::int32_t> offset :
         {std::optional<std::int32_t>(), std::optional<std::int32_t>(0), std::optional<std::int32_t>(1439),
          std::optional<std::int32_t>(-1439), std::optional<std::int32_t>(-210)}) {
      const std::string text = format(time, offset);
      const auto parsed = parseIsoDateTime(text);
      ASSERT_TRUE(parsed.hasValue()) << text;
      ASSERT_EQ(*parsed, time) << text;
    }
  }
}

TEST(IsoDateTimeTest, ParsesTheUsualShorterForms) {
  struct Case {
    const char* text;
    TimePoint expected;
  };
  const Case cases[] = {
      {"2026-12-06", at(2026, 12, 6)},
      {"2026-12-06T13:45", at(2026, 12, 6, 13, 45)},
      {"2026-12-06T13:45Z", at(2026, 12, 6, 13, 45)},
      {"2026-12-06T13:45:30", at(2026, 12, 6, 13, 45, 30)},
      {"2026-12-06 13:45:30Z", at(2026, 12, 6, 13, 45, 30)},
      {"2026-12-06t13:45:30z", at(2026, 12, 6, 13, 45, 30)},
      {"2026-12-06T13:45:30.5Z", at(2026, 12, 6, 13, 45, 30, 5000000)},
      {"2026-12-06T13:45:30,25Z", at(2026, 12, 6, 13, 45, 30, 2500000)},
      {"2026-12-06T13:45:30.123456Z", at(2026, 12, 6, 13, 45, 30, 1234560)},
      {"2026-12-06T13:45:30.12345678Z", at(2026, 12, 6, 13, 45, 30, 1234567)},
      {"2026-12-06T13:45:30.123456789Z", at(2026, 12, 6, 13, 45, 30, 1234567)},
      {"2026-12-06T14:45:30+01:00", at(2026, 12, 6, 13, 45, 30)},
      {"2026-12-06T14:45:30+0100", at(2026, 12, 6, 13, 45, 30)},
      {"2026-12-06T08:15:30-05:30", at(2026, 12, 6, 13, 45, 30)},
      {"2026-12-07T00:30+23:59", at(2026, 12, 6, 0, 31)},
      {"2024-02-29", at(2024, 2, 29)},
      {"2000-02-29", at(2000, 2, 29)},
      {"0000-01-01", at(0, 1, 1)},
      {"+10000-01-01T00:00:00Z", at(10000, 1, 1)},
      {"-00001-12-31", at(-1, 12, 31)},
      {"+2026-12-06", at(2026, 12, 6)},
  };
  for (const Case& c : cases) {
    const auto parsed = parseIsoDateTime(c.text);
    ASSERT_TRUE(parsed.hasValue()) << c.text;
    EXPECT_EQ(parsed->time_since_epoch().count(), c.expected.time_since_epoch().count()) << c.text;
  }
}

TEST(IsoDateTimeTest, RefusesMalformedTexts) {
  expectInvalid("");
  expectInvalid("2026");
  expectInvalid("2026-12");
  expectInvalid("2026-1-06");
  expectInvalid("2026-12-6");
  expectInvalid("20261206");
  expectInvalid("02026-12-06");
  expectInvalid("2026/12/06");
  expectInvalid("2026-13-01");
  expectInvalid("2026-00-01");
  expectInvalid("2026-12-00");
  expectInvalid("2026-12-32");
  expectInvalid("2026-04-31");
  expectInvalid("2025-02-29");
  expectInvalid("1900-02-29");
  expectInvalid("2026-12-06T");
  expectInvalid("2026-12-06T13");
  expectInvalid("2026-12-06T13:4");
  expectInvalid("2026-12-06T24:00:00Z");
  expectInvalid("2026-12-06T13:60:00Z");
  expectInvalid("2026-12-06T13:45:60Z");
  expectInvalid("2026-12-06T13:45:30.Z");
  expectInvalid("2026-12-06T13:45:30.1234567890Z");
  expectInvalid("2026-12-06T13:45.5Z");
  expectInvalid("2026-12-06T13:45:30+24:00");
  expectInvalid("2026-12-06T13:45:30+01:60");
  expectInvalid("2026-12-06T13:45:30+01");
  expectInvalid("2026-12-06T13:45:30+1:00");
  expectInvalid("2026-12-06T13:45:30 +01:00");
  expectInvalid("2026-12-06T13:45:30ZZ");
  expectInvalid("2026-12-06T13:45:30Z ");
  expectInvalid(" 2026-12-06");
  expectInvalid("2026-12-06Z");
  expectInvalid("2026-12-06X13:45:30Z");
  expectInvalid(std::string_view("2026-12-06T13:45:30Z\0", 21));
  expectInvalid(std::string_view("2026-12-06\0T13:45:30Z", 21));
  expectInvalid("+-2026-12-06");
  expectInvalid("+1234567890-01-01");
}

TEST(IsoDateTimeTest, RefusesInstantsOutsideTheTickRange) {
  EXPECT_TRUE(parseIsoDateTime("+31197-09-14T02:48:05.4775807Z").hasValue());
  expectInvalid("+31197-09-14T02:48:05.4775808Z");
  EXPECT_TRUE(parseIsoDateTime("-27258-04-19T21:11:54.5224192Z").hasValue());
  expectInvalid("-27258-04-19T21:11:54.5224191Z");
  // Local time past the end, but the offset brings the instant back into range.
  EXPECT_EQ(*parseIsoDateTime("+31197-09-15T02:47:05.4775807+23:59"), TimePoint::max());
  expectInvalid("+99999-01-01");
  expectInvalid("-999999999-01-01");
  expectInvalid("+999999999-12-31T23:59:59.9999999-23:59");
}

}  // namespace
