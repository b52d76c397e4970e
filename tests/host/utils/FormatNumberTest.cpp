#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "ormanta/utils/numeric/FormatNumber.h"

namespace {

using ormanta::utils::numeric::formatNumber;

template <class Number>
std::string text(Number value) {
  char buffer[64];
  const std::size_t length = formatNumber(buffer, sizeof buffer, value);
  return std::string(buffer, length);
}

TEST(FormatNumberTest, SignedIntegers) {
  EXPECT_EQ(text(std::int64_t{0}), "0");
  EXPECT_EQ(text(std::int64_t{-1}), "-1");
  EXPECT_EQ(text(std::int64_t{1234567}), "1234567");
  EXPECT_EQ(text(std::numeric_limits<std::int64_t>::max()), "9223372036854775807");
  EXPECT_EQ(text(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(text(std::numeric_limits<std::int64_t>::min()).size(), 20u);
}

TEST(FormatNumberTest, UnsignedIntegers) {
  EXPECT_EQ(text(std::uint64_t{0}), "0");
  EXPECT_EQ(text(std::uint64_t{72}), "72");
  EXPECT_EQ(text(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
  EXPECT_EQ(text(std::numeric_limits<std::uint64_t>::max()).size(), 20u);
}

TEST(FormatNumberTest, DoublesUseTheShortestText) {
  EXPECT_EQ(text(0.0), "0");
  EXPECT_EQ(text(-0.0), "-0");
  EXPECT_EQ(text(0.1), "0.1");
  EXPECT_EQ(text(100.0), "100");
  EXPECT_EQ(text(1.5), "1.5");
  EXPECT_EQ(text(1e20), "1e+20");
  EXPECT_EQ(text(-2.5e-7), "-2.5e-07");
  EXPECT_EQ(text(1e300), "1e+300");
  EXPECT_EQ(text(123456789012.0), "123456789012");
  EXPECT_EQ(text(std::numeric_limits<double>::max()), "1.7976931348623157e+308");
}

TEST(FormatNumberTest, DenormalsAndTheLongestTexts) {
  EXPECT_EQ(text(std::numeric_limits<double>::denorm_min()), "5e-324");
  EXPECT_EQ(text(-std::numeric_limits<double>::denorm_min()), "-5e-324");
  // The smallest normal double needs all 24 characters.
  EXPECT_EQ(text(-std::numeric_limits<double>::min()), "-2.2250738585072014e-308");
  EXPECT_EQ(text(-std::numeric_limits<double>::min()).size(), 24u);
  EXPECT_EQ(text(-2.2250738585072009e-308), "-2.225073858507201e-308");  // largest denormal
}

TEST(FormatNumberTest, SpecialValues) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(text(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(text(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(text(nan), "nan");
  EXPECT_EQ(text(std::copysign(nan, -1.0)), "nan");
}

TEST(FormatNumberTest, ShortBufferGetsTheStartAndTheFullLength) {
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(formatNumber(buffer, 5, std::int64_t{-123456789}), 10u);
  EXPECT_EQ(std::string(buffer, 8), "-1234###");

  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(formatNumber(buffer, 3, 0.125), 5u);
  EXPECT_EQ(std::string(buffer, 8), "0.1#####");

  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(formatNumber(buffer, 2, std::numeric_limits<std::uint64_t>::max()), 20u);
  EXPECT_EQ(std::string(buffer, 8), "18######");

  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(formatNumber(buffer, 2, std::copysign(std::numeric_limits<double>::quiet_NaN(), -1.0)), 3u);
  EXPECT_EQ(std::string(buffer, 8), "na######");

  EXPECT_EQ(formatNumber(nullptr, 0, 3.25), 4u);
  EXPECT_EQ(formatNumber(nullptr, 0, std::int64_t{7}), 1u);
}

TEST(FormatNumberTest, ExactFitIsWrittenWhole) {
  char buffer[24];
  EXPECT_EQ(formatNumber(buffer, 24, -std::numeric_limits<double>::min()), 24u);
  EXPECT_EQ(std::string(buffer, 24), "-2.2250738585072014e-308");
}

TEST(FormatNumberTest, RandomDoublesReadBackExactlyWithinTwentyFourCharacters) {
  std::mt19937_64 random(20260112);
  for (int i = 0; i < 200000; ++i) {
    const double value = std::bit_cast<double>(random());
    if (!std::isfinite(value)) continue;
    const std::string written = text(value);
    ASSERT_LE(written.size(), 24u) << written;
    double readBack = 0;
    const auto result = std::from_chars(written.data(), written.data() + written.size(), readBack);
    ASSERT_EQ(result.ec, std::errc()) << written;
    ASSERT_EQ(result.ptr, written.data() + written.size()) << written;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(readBack), std::bit_cast<std::uint64_t>(value)) << written;
  }
}

TEST(FormatNumberTest, RandomIntegersReadBack) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t bits = random() >> (random() % 64);
    const auto signedValue = static_cast<std::int64_t>(random() % 2 ? bits : ~bits);
    EXPECT_EQ(text(bits), std::to_string(bits));
    ASSERT_EQ(text(signedValue), std::to_string(signedValue));
  }
}

}  // namespace
