#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <ios>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ormanta/utils/eh/CurrentErrorCode.h"

namespace {

using ormanta::utils::eh::currentErrorCode;
using ormanta::utils::eh::exceptionCategory;

template <class Throw>
std::error_code codeOf(Throw&& throwIt) {
  try {
    throwIt();
  } catch (...) {
    return currentErrorCode();
  }
  ADD_FAILURE() << "nothing was thrown";
  return {};
}

std::error_code codeOfText(const std::string& text) {
  return codeOf([&] { throw std::runtime_error(text); });
}

TEST(CurrentErrorCodeTest, SystemErrorKeepsItsCode) {
  const auto expected = std::make_error_code(std::errc::connection_refused);
  EXPECT_EQ(codeOf([&] { throw std::system_error(expected, "connect"); }), expected);
}

TEST(CurrentErrorCodeTest, ErrorsDerivedFromSystemErrorKeepTheirCodes) {
  const auto streamCode = std::make_error_code(std::io_errc::stream);
  EXPECT_EQ(codeOf([&] { throw std::ios_base::failure("read", streamCode); }), streamCode);

  const auto fileCode = std::make_error_code(std::errc::no_such_file_or_directory);
  EXPECT_EQ(codeOf([&] { throw std::filesystem::filesystem_error("open", "/nowhere", fileCode); }), fileCode);
}

TEST(CurrentErrorCodeTest, FutureErrorKeepsItsCode) {
  const std::error_code code = codeOf([] { throw std::future_error(std::future_errc::broken_promise); });
  EXPECT_EQ(code, std::make_error_code(std::future_errc::broken_promise));
}

TEST(CurrentErrorCodeTest, OtherStandardExceptionGivesItsText) {
  const std::error_code code =
      codeOf([] { throw std::invalid_argument("Only \"true\" and \"false\" values"); });
  EXPECT_EQ(&code.category(), &exceptionCategory());
  EXPECT_EQ(code.message(), "Only \"true\" and \"false\" values");
  EXPECT_GE(code.value(), 1);
  EXPECT_TRUE(static_cast<bool>(code)) << "an exception must never read as success";
}

TEST(CurrentErrorCodeTest, EqualTextsGiveEqualCodesWhateverTheType) {
  const std::error_code first = codeOfText("redis: connection lost");
  const std::error_code again = codeOfText("redis: connection lost");
  const std::error_code otherType = codeOf([] { throw std::length_error("redis: connection lost"); });
  const std::error_code otherText = codeOfText("redis: reply timed out");
  EXPECT_EQ(first, again);
  EXPECT_EQ(first, otherType);
  EXPECT_NE(first, otherText);
  EXPECT_EQ(otherText.message(), "redis: reply timed out");
}

TEST(CurrentErrorCodeTest, EmptyAndUnusualTextsAreKeptExactly) {
  EXPECT_EQ(codeOfText("").message(), "");
  EXPECT_TRUE(static_cast<bool>(codeOfText("")));
  const std::string longText(10000, 'x');
  EXPECT_EQ(codeOfText(longText).message(), longText);
  EXPECT_EQ(codeOfText("Grüße \n\t").message(), "Grüße \n\t");
}

TEST(CurrentErrorCodeTest, NonStandardExceptionIsUnknown) {
  const std::error_code fromInt = codeOf([] { throw 42; });
  struct Custom {};
  const std::error_code fromCustom = codeOf([] { throw Custom{}; });
  EXPECT_EQ(fromInt.message(), "unknown exception");
  EXPECT_EQ(fromInt, fromCustom);
  EXPECT_EQ(&fromInt.category(), &exceptionCategory());
  EXPECT_TRUE(static_cast<bool>(fromInt));
}

TEST(CurrentErrorCodeTest, NoExceptionInFlightIsUnknown) {
  const std::error_code code = currentErrorCode();
  EXPECT_EQ(code.message(), "unknown exception");
  EXPECT_EQ(code, codeOf([] { throw 1; }));
}

TEST(CurrentErrorCodeTest, NestedHandlersSeeTheInnermostException) {
  try {
    throw std::runtime_error("outer");
  } catch (...) {
    try {
      throw std::runtime_error("inner");
    } catch (...) {
      EXPECT_EQ(currentErrorCode().message(), "inner");
    }
    EXPECT_EQ(currentErrorCode().message(), "outer");
  }
}

TEST(CurrentErrorCodeTest, CategoryNameAndFixedMessages) {
  EXPECT_STREQ(exceptionCategory().name(), "ormanta.exception");
  EXPECT_EQ(exceptionCategory().message(0), "no error");
  EXPECT_FALSE(static_cast<bool>(std::error_code(0, exceptionCategory())));
}

TEST(CurrentErrorCodeTest, CodesOfDistinctCategoriesCompareUnequal) {
  const std::error_code text = codeOfText("a text for the category test");
  const std::error_code sameValueGeneric(text.value(), std::generic_category());
  const std::error_code sameValueSystem(text.value(), std::system_category());
  EXPECT_NE(text, sameValueGeneric);
  EXPECT_NE(text, sameValueSystem);
  EXPECT_NE(exceptionCategory(), std::generic_category());
  EXPECT_NE(exceptionCategory(), std::system_category());
  EXPECT_EQ(exceptionCategory(), exceptionCategory());
}

TEST(CurrentErrorCodeTest, ConcurrentThreadsAgreeOnEveryText) {
  constexpr int kThreads = 8;
  constexpr int kSharedTexts = 64;
  constexpr int kOwnTexts = 64;
  std::vector<std::map<std::string, int>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen] {
      for (int repeat = 0; repeat < 5; ++repeat) {
        for (int i = 0; i < kSharedTexts + kOwnTexts; ++i) {
          const std::string text = i < kSharedTexts
                                       ? "shared text " + std::to_string((i + t * 7) % kSharedTexts)
                                       : "thread " + std::to_string(t) + " text " + std::to_string(i);
          const std::error_code code = codeOfText(text);
          auto [entry, inserted] = seen[t].emplace(text, code.value());
          if (!inserted && entry->second != code.value()) ADD_FAILURE() << "text changed its code: " << text;
          if (code.message() != text) ADD_FAILURE() << "message differs for " << text;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::map<std::string, int> merged;
  std::map<int, std::string> byValue;
  for (const auto& perThread : seen) {
    for (const auto& [text, value] : perThread) {
      const auto [entry, inserted] = merged.emplace(text, value);
      EXPECT_EQ(entry->second, value) << "threads disagree on " << text;
      const auto [other, fresh] = byValue.emplace(value, text);
      EXPECT_EQ(other->second, text) << "two texts share value " << value;
    }
  }
  EXPECT_EQ(merged.size(), static_cast<std::size_t>(kSharedTexts + kThreads * kOwnTexts));
}

}  // namespace
