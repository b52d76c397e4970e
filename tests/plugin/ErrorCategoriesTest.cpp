#include <gtest/gtest.h>

#include <climits>

#include "plugin/ErrorCategories.h"

namespace {

using namespace ormanta::plugins::TulService;

TEST(ErrorCategoriesTest, MessagesOfEveryValueAndUnknownOnesInOneNamedCategoryEach) {
  using Make = std::error_code (*)(int);
  const std::tuple<Make, int, const char*> cases[] = {
      {connectionError, 0, "no error"},
      {connectionError, 1, "the connection is not established yet"},
      {generalConnectionError, 0, "no error"},
      {generalConnectionError, 1, "data connection is not established"},
      {generalConnectionError, 2, "command connection is not established"},
      {generalConnectionError, 3, "the command connection and the data connection are not established"},
      {registrationError, 0, "the service is successfully registered"},
      {registrationError, 1, "the service registration is pending"}};
  for (const auto& [make, value, message] : cases) EXPECT_EQ(make(value).message(), message);
  for (const int value : {-1, INT_MIN, 4, INT_MAX}) {
    for (const Make make : {connectionError, generalConnectionError, registrationError})
      EXPECT_EQ(make(value).message(), "an unknown error occurred") << value;
  }
  EXPECT_EQ(connectionError(2).message(), "an unknown error occurred");
  EXPECT_EQ(registrationError(2).message(), "an unknown error occurred");

  EXPECT_STREQ(connectionErrorCategory().name(), "Ormanta.TulService");
  EXPECT_STREQ(generalConnectionErrorCategory().name(), "Ormanta.TulService");
  EXPECT_STREQ(registrationErrorCategory().name(), "Ormanta.TulService");
  // Same value, other category: different codes.
  EXPECT_NE(connectionError(0), std::error_code(0, std::system_category()));
  EXPECT_NE(connectionError(0), registrationError(0));
  EXPECT_NE(connectionError(1), generalConnectionError(1));
}

}  // namespace
