#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "redis/StaticNumberText.h"

namespace {

using ormanta::plugins::TulService::StaticNumberText;

template <std::size_t Capacity, class Number>
std::string textOf(Number value) {
  return std::string(StaticNumberText<Capacity>(value).view());
}

TEST(StaticNumberText, IntegersAreDecimal) {
  EXPECT_EQ(textOf<20>(std::int64_t{0}), "0");
  EXPECT_EQ(textOf<20>(std::int64_t{-42}), "-42");
  EXPECT_EQ(textOf<20>(std::uint64_t{100}), "100");
  EXPECT_EQ(textOf<20>(7), "7");
  EXPECT_EQ(textOf<20>(static_cast<unsigned short>(65535)), "65535");
}

TEST(StaticNumberText, ExtremeIntegersFillCapacityTwenty) {
  EXPECT_EQ(textOf<20>(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(textOf<20>(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
  EXPECT_EQ(StaticNumberText<20>(std::numeric_limits<std::int64_t>::min()).size(), 20u);
}

TEST(StaticNumberText, DoublesUseTheHostsShortestText) {
  EXPECT_EQ(textOf<24>(12.5), "12.5");
  EXPECT_EQ(textOf<24>(12.5f), "12.5");
  EXPECT_LE(StaticNumberText<24>(-std::numeric_limits<double>::denorm_min()).size(), 24u);
}

TEST(StaticNumberText, TooLongATextThrowsTheHostsLengthError) {
  try {
    StaticNumberText<3> text(std::int64_t{12345});
    FAIL() << "expected std::length_error";
  } catch (const std::length_error& error) {
    EXPECT_STREQ(error.what(), "ormanta::utils::string::BasicStaticString: size of 5 exceeds capacity of 3");
  }
  StaticNumberText<3> text(std::int64_t{999});
  EXPECT_THROW(text.assign(std::int64_t{-100}), std::length_error);
  EXPECT_TRUE(text.empty()) << "a refused text leaves nothing behind";
}

TEST(StaticNumberText, ReassignmentReplacesTheText) {
  StaticNumberText<20> text(std::int64_t{123456});
  text.assign(std::uint64_t{7});
  EXPECT_EQ(text.view(), "7");
  text.assign(std::string_view("x"));
  EXPECT_EQ(text.view(), "x");
}

}  // namespace
