#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>

#include "ormanta/utils/eh/CurrentErrorCode.h"

namespace {

using ormanta::utils::eh::currentErrorCode;
using ormanta::utils::eh::kMaxExceptionTexts;

std::error_code codeOfText(const std::string& text) {
  try {
    throw std::runtime_error(text);
  } catch (...) {
    return currentErrorCode();
  }
}

// The table is process-wide, so this executable holds only this test.
TEST(ExceptionTextLimitTest, TextsBeyondTheLimitShareOneOverflowCode) {
  std::set<int> values;
  for (int i = 0; i < kMaxExceptionTexts; ++i) values.insert(codeOfText("text " + std::to_string(i)).value());
  EXPECT_EQ(values.size(), static_cast<std::size_t>(kMaxExceptionTexts));
  EXPECT_EQ(*values.begin(), 1);
  EXPECT_EQ(*values.rbegin(), kMaxExceptionTexts);

  const std::error_code overflow = codeOfText("one text too many");
  EXPECT_EQ(overflow, codeOfText("and another"));
  EXPECT_EQ(overflow.message(), "too many distinct exception texts");
  EXPECT_TRUE(static_cast<bool>(overflow));
  EXPECT_EQ(values.count(overflow.value()), 0u);

  // Known texts keep their codes and messages.
  const std::error_code known = codeOfText("text 123");
  EXPECT_EQ(known.message(), "text 123");
  EXPECT_NE(known, overflow);
}

}  // namespace
