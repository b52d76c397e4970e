#include <climits>

#include <gtest/gtest.h>

#include "plugin/ErrorCategories.h"

namespace {

using namespace ormanta::plugins::TulService;

TEST(ErrorCategoriesTest, MessagesOfEveryValue) {
  EXPECT_EQ(connectionError(0).message(), "no error");
  EXPECT_EQ(connectionError(1).message(), "the connection is not established yet");
  EXPECT_EQ(generalConnectionError(0).message(), "no error");
  EXPECT_EQ(generalConnectionError(1).message(), "data connection is not established");
  EXPECT_EQ(generalConnectionError(2).message(), "command connection is not established");
  EXPECT_EQ(generalConnectionError(3).message(),
            "the command connection and the data connection are not established");
  EXPECT_EQ(registrationError(0).message(), "the service is successfully registered");
  EXPECT_EQ(registrationError(1).message(), "the service registration is pending");
}

TEST(ErrorCategoriesTest, NegativeAndLargeValuesAreUnknown) {
  for (int value : {-1, INT_MIN, 2, 17, INT_MAX}) {
    EXPECT_EQ(connectionError(value).message(), "an unknown error occurred");
    EXPECT_EQ(registrationError(value).message(), "an unknown error occurred");
  }
  for (int value : {-1, INT_MIN, 4, INT_MAX}) {
    EXPECT_EQ(generalConnectionError(value).message(), "an unknown error occurred");
  }
}

TEST(ErrorCategoriesTest, CategoriesAreSingletonsWithOneName) {
  EXPECT_EQ(&connectionErrorCategory(), &connectionErrorCategory());
  EXPECT_STREQ(connectionErrorCategory().name(), "Ormanta.TulService");
  EXPECT_STREQ(generalConnectionErrorCategory().name(), "Ormanta.TulService");
  EXPECT_STREQ(registrationErrorCategory().name(), "Ormanta.TulService");
  // Same value, other category: different codes.
  EXPECT_NE(connectionError(0), std::error_code(0, std::system_category()));
  EXPECT_NE(connectionError(0), registrationError(0));
  EXPECT_NE(connectionError(1), generalConnectionError(1));
  EXPECT_EQ(connectionError(0).default_error_condition(), std::error_condition(0, connectionErrorCategory()));
}

}  // namespace
