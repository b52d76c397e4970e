#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>

#include "ormanta/utils/eh/CurrentErrorCode.h"

namespace {

using ormanta::utils::eh::kMaxExceptionTexts;

std::error_code codeOfText(const std::string& text) {
  try {
    throw std::runtime_error(text);
  } catch (...) {
    return ormanta::utils::eh::currentErrorCode();
  }
}

// The table is process-wide, so this executable holds only this test.
TEST(ExceptionTextLimitTest, TextsBeyondTheLimitShareOneOverflowCode) {
  std::set<int> values;
  for (int i = 0; i < kMaxExceptionTexts; ++i) values.insert(codeOfText(std::to_string(i)).value());
  EXPECT_EQ(values.size(), static_cast<std::size_t>(kMaxExceptionTexts));
  const std::error_code overflow = codeOfText("one text too many");
  EXPECT_EQ(overflow, codeOfText("and another"));
  EXPECT_EQ(overflow.message(), "too many distinct exception texts");
  EXPECT_TRUE(overflow && values.count(overflow.value()) == 0);
  EXPECT_EQ(codeOfText("123").message(), "123") << "known texts keep their codes";
}

}  // namespace
