// tul-peer's address forms and member paths, without a server.

#include <gtest/gtest.h>

#include "peer/Address.h"
#include "peer/Registration.h"

namespace ormanta::peer {
namespace {

TEST(PeerAddressTest, HostPortAndIpv6FormsAreRead) {
  EXPECT_EQ(parseAddress("").text(), "127.0.0.1:6379");
  EXPECT_EQ(parseAddress("redis.local").text(), "redis.local:6379");
  EXPECT_EQ(parseAddress("10.1.2.3:7000").text(), "10.1.2.3:7000");
  EXPECT_EQ(parseAddress("[::1]:6380").text(), "[::1]:6380");
  EXPECT_EQ(parseAddress("[::1]").text(), "[::1]:6379");
  EXPECT_EQ(parseAddress("::1").host, "::1");
  EXPECT_THROW(parseAddress("host:0"), std::invalid_argument);
  EXPECT_THROW(parseAddress("host:70000"), std::invalid_argument);
  EXPECT_THROW(parseAddress("host:port"), std::invalid_argument);
  EXPECT_THROW(parseAddress("[::1"), std::invalid_argument);
}

TEST(PeerMemberPathTest, TheServiceNameIsAddedUnlessTheMemberHasIt) {
  EXPECT_EQ(memberPath("S", "Boiler.Temp", nullptr), "S.Boiler.Temp");
  EXPECT_EQ(memberPath("S", "S.Boiler.Temp", nullptr), "S.Boiler.Temp");
  EXPECT_EQ(memberPath("S", "Sx.Temp", nullptr), "S.Sx.Temp") << "only the whole name and its dot count";
  EXPECT_EQ(valueStreamKey("S", "S.Boiler.Temp"), "SValue:S.Boiler.Temp");
}

TEST(PeerMemberPathTest, TheCatalogueDecidesWhenAnElementIsNamedLikeTheService) {
  // An element keyed "S" in service "S": its member S.S.X, written as "S.X".
  Catalogue catalogue;
  catalogue.dataPoints.push_back({"S.S", "t_1", 64, {{"S.S.X", "Real", 64, "r", "SValue:S.S.X"}}});
  EXPECT_EQ(memberPath("S", "S.X", &catalogue), "S.S.X");
  EXPECT_EQ(memberPath("S", "S.S.X", &catalogue), "S.S.X");
  EXPECT_EQ(memberPath("S", "Other.Y", &catalogue), "S.Other.Y");
}

}  // namespace
}  // namespace ormanta::peer
