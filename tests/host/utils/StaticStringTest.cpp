#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "ormanta/utils/numeric/FormatNumber.h"
#include "ormanta/utils/string/BasicStaticString.h"

namespace {

using ormanta::utils::numeric::formatNumber;
using ormanta::utils::string::StaticString;

template <class F>
std::string lengthErrorOf(F&& f) {
  try {
    f();
  } catch (const std::length_error& error) {
    return error.what();
  }
  return "no std::length_error";
}

TEST(StaticStringTest, AssignKeepsTextsUpToCapacity) {
  StaticString<5> text;
  EXPECT_TRUE(text.empty());
  text.assign("abcde");
  EXPECT_EQ(text.view(), "abcde");
  text.assign("");
  EXPECT_TRUE(text.empty());
}

TEST(StaticStringTest, AssignRefusesLongerTextWithTheHostMessage) {
  StaticString<5> text("ab");
  EXPECT_EQ(lengthErrorOf([&] { text.assign("abcdef"); }),
            "ormanta::utils::string::BasicStaticString: size of 6 exceeds capacity of 5");
  EXPECT_EQ(text.view(), "ab") << "a refused text leaves the old one";
  EXPECT_EQ(lengthErrorOf([] { StaticString<0> none("x"); }),
            "ormanta::utils::string::BasicStaticString: size of 1 exceeds capacity of 0");
}

TEST(StaticStringTest, AssignFormattedTakesHostNumbers) {
  StaticString<20> number;
  number.assignFormatted([](char* buffer, std::size_t capacity) {
    return formatNumber(buffer, capacity, std::numeric_limits<std::int64_t>::min());
  });
  EXPECT_EQ(number.view(), "-9223372036854775808");
}

TEST(StaticStringTest, AssignFormattedRefusesTooLongAndEmpties) {
  StaticString<19> number("old");
  EXPECT_EQ(lengthErrorOf([&] {
              number.assignFormatted([](char* buffer, std::size_t capacity) {
                return formatNumber(buffer, capacity, std::numeric_limits<std::uint64_t>::max());
              });
            }),
            "ormanta::utils::string::BasicStaticString: size of 20 exceeds capacity of 19");
  EXPECT_TRUE(number.empty());
}

}  // namespace
