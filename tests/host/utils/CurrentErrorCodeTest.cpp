#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <stdexcept>
#include <string>

#include "ormanta/utils/eh/CurrentErrorCode.h"

namespace {

using ormanta::utils::eh::currentErrorCode;
using ormanta::utils::eh::exceptionCategory;

template <class Exception>
std::error_code codeOf(const Exception& exception) {
  try {
    throw exception;
  } catch (...) {
    return currentErrorCode();
  }
}

std::error_code codeOfText(const std::string& text) { return codeOf(std::runtime_error(text)); }

TEST(CurrentErrorCodeTest, SystemErrorsKeepTheirCodes) {
  const auto noFile = std::make_error_code(std::errc::no_such_file_or_directory);
  EXPECT_EQ(codeOf(std::system_error(noFile, "connect")), noFile);
  EXPECT_EQ(codeOf(std::filesystem::filesystem_error("open", "/nowhere", noFile)), noFile);
  EXPECT_EQ(codeOf(std::future_error(std::future_errc::broken_promise)), std::future_errc::broken_promise);
}

TEST(CurrentErrorCodeTest, OtherExceptionsBecomeTheirTextInTheHostCategory) {
  const std::error_code code = codeOf(std::invalid_argument("Only \"true\" and \"false\" values"));
  EXPECT_EQ(code.category(), exceptionCategory());
  EXPECT_STREQ(code.category().name(), "ormanta.exception");
  EXPECT_EQ(code.message(), "Only \"true\" and \"false\" values");
  EXPECT_EQ(codeOfText("Only \"true\" and \"false\" values"), code) << "equal texts, equal codes";
  EXPECT_NE(codeOfText("Grüße \n\t"), code);
  EXPECT_EQ(codeOfText("Grüße \n\t").message(), "Grüße \n\t");
  EXPECT_TRUE(code && codeOfText("")) << "an exception never reads as success, even without a text";

  const std::error_code unknown = codeOf(42);
  EXPECT_EQ(unknown.message(), "unknown exception");
  EXPECT_TRUE(unknown && unknown.category() == exceptionCategory());
  EXPECT_EQ(currentErrorCode(), unknown) << "no exception in flight";
}

}  // namespace
