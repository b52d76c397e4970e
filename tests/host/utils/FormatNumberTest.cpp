#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "ormanta/utils/numeric/FormatNumber.h"

namespace {

using ormanta::utils::numeric::formatNumber;
using Int = std::numeric_limits<std::int64_t>;
using Double = std::numeric_limits<double>;

template <class Number>
std::string text(Number value) {
  char buffer[64];
  return std::string(buffer, formatNumber(buffer, sizeof buffer, value));
}

// The texts of the values, each followed by a space.
template <class... Numbers>
std::string texts(Numbers... values) {
  return ((text(values) + ' ') + ...);
}

TEST(FormatNumberTest, ExtremesAndNonFiniteValues) {
  EXPECT_EQ(texts(std::int64_t{-1}, Int::max(), Int::min(), std::numeric_limits<std::uint64_t>::max()),
            "-1 9223372036854775807 -9223372036854775808 18446744073709551615 ");
  // Shortest texts; the smallest normal double needs all 24 characters; then the largest denormal.
  EXPECT_EQ(texts(0.0, -0.0, 0.1, 100.0, 1e20, -2.5e-7, Double::max(), Double::denorm_min(), -Double::min(),
                  -2.2250738585072009e-308, Double::infinity(), -Double::infinity(), -Double::quiet_NaN()),
            "0 -0 0.1 100 1e+20 -2.5e-07 1.7976931348623157e+308 5e-324 -2.2250738585072014e-308 "
            "-2.225073858507201e-308 inf -inf nan ");
}

TEST(FormatNumberTest, ShortBufferGetsTheStartAndTheFullLength) {
  char buffer[] = "########";
  EXPECT_EQ(formatNumber(buffer, 5, Int::min()), 20u);
  EXPECT_EQ(formatNumber(buffer + 5, 2, 0.125), 5u);
  EXPECT_EQ(std::string(buffer), "-92230.#");
  EXPECT_EQ(formatNumber(buffer, 3, std::int64_t{-12}), 3u) << "an exact fit";
  EXPECT_EQ(std::string(buffer), "-12230.#");
  EXPECT_EQ(formatNumber(nullptr, 0, -Double::min()), 24u);
}

TEST(FormatNumberTest, RandomDoublesReadBackExactlyWithinTwentyFourCharacters) {
  std::mt19937_64 random(20260112);
  for (int i = 0; i < 20000; ++i) {
    const double value = std::bit_cast<double>(random());
    if (!std::isfinite(value)) continue;
    const std::string written = text(value);
    double readBack = 0;
    const auto result = std::from_chars(written.data(), written.data() + written.size(), readBack);
    ASSERT_TRUE(written.size() <= 24 && result.ptr == written.data() + written.size()) << written;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(readBack), std::bit_cast<std::uint64_t>(value)) << written;
  }
}

}  // namespace
