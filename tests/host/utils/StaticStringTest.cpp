#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "ormanta/utils/numeric/FormatNumber.h"
#include "ormanta/utils/string/BasicStaticString.h"
#include "support/Errors.h"

namespace {

using ormanta::utils::string::StaticString;
using tul::test::messageOf;

TEST(StaticStringTest, RefusesTextsBeyondCapacityWithTheHostMessage) {
  StaticString<5> text("ab");
  EXPECT_EQ(messageOf<std::length_error>([&] { text.assign("abcdef"); }),
            "ormanta::utils::string::BasicStaticString: size of 6 exceeds capacity of 5");
  EXPECT_EQ(text.view(), "ab") << "a refused text leaves the old one";
  text.assign("abcde");
  EXPECT_EQ(text.view(), "abcde");

  StaticString<19> number("old");
  const auto formatMax = [](char* buffer, std::size_t capacity) {
    return ormanta::utils::numeric::formatNumber(buffer, capacity, std::numeric_limits<std::uint64_t>::max());
  };
  EXPECT_EQ(messageOf<std::length_error>([&] { number.assignFormatted(formatMax); }),
            "ormanta::utils::string::BasicStaticString: size of 20 exceeds capacity of 19");
  EXPECT_TRUE(number.empty()) << "a refused formatted text leaves it empty";
  StaticString<20> fits;
  fits.assignFormatted(formatMax);
  EXPECT_EQ(fits.view(), "18446744073709551615");
}

}  // namespace
