// The runner's model file and value texts, and tul-peer's address forms and member paths and
// its web view's coalescing, token and escaping, without processes or servers.

#include <gtest/gtest.h>

#include "host/ModelFile.h"
#include "host/ValueConversion.h"
#include "peer/Address.h"
#include "peer/Registration.h"
#include "peer/web/WebText.h"

namespace ormanta::apps {
namespace {

using data::NativeType;

TEST(ModelFileTest, ErrorsNameTheJsonPathOfTheProblem) {
  const std::string a = R"({"elements":[{"key":"A","attributes":[{"name":"X",)";
  const std::pair<std::string, std::string> cases[] = {
      {a + R"("type":"int","access":"rw"}]}]})", "$.elements[0].attributes[0].access: unknown access \"rw\""},
      {a + R"("type":"int","bitSize":12}]}]})",
       "$.elements[0].attributes[0].bitSize: must be 8, 16, 32 or 64"},
      {a + R"("type":"int","bitSize":8,"value":300}]}]})",
       "$.elements[0]: attribute \"X\": initial value refused"},
      {a + R"("type":"string","simulate":{"kind":"sine","periodMs":100}}]}]})",
       "attributes[0].simulate.kind"},
      {R"({"elements":[{"key":"A","attributes":[{"name":"name","type":"bool"}]}]})", "reserved"},
      {R"({"elements":[{"key":"A","children":[{"key":"B","colour":1}]}]})",
       "$.elements[0].children[0].colour: unknown member"},
      {R"({"elements":[{"key":"A"},{"key":"A"}]})", "$.elements[1]"},
      {"{", "invalid JSON"}};
  for (const auto& [text, expected] : cases) {
    auto model = host::Model::create();
    try {
      buildModel(text, *model);
      ADD_FAILURE() << "no error for " << text;
    } catch (const std::exception& error) {
      EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
    }
  }
}

// "TYPE TEXT": the model file's type name, one space, then the value text (all the rest).
std::pair<NativeType, std::string> typedText(std::string_view typeAndText) {
  const std::size_t space = typeAndText.find(' ');
  return {nativeTypeFromName(typeAndText.substr(0, space)).value(),
          std::string(typeAndText.substr(space + 1))};
}

TEST(ValueConversionTest, TextsRoundTripForEveryTypeAndPartialTextsAreRefused) {
  for (const char* c :
       {"bool true", "bool false", "int -9223372036854775808", "uint 18446744073709551615", "double 21.5",
        "double 1e+20", "double -inf", "string ", "string  spaced text ", "time 2026-12-06T08:43:04.1234567Z",
        "uuid 595e1ee2-95ca-4ce0-883f-535893cb4b7c", "quality NotConnected", "category Conveyor"}) {
    const auto [type, text] = typedText(c);
    EXPECT_EQ(valueText(parseValueText(type, text)), text) << c;
  }
  EXPECT_EQ(valueText(parseValueText(NativeType::kQuality, "1")), "Uncertain") << "qualities by number too";

  for (const char* c : {"bool TRUE", "bool 1", "int 12abc", "int ", "int 9223372036854775808", "uint -1",
                        "double +1", "double 1.5 ", "time noon", "uuid 595e1ee2", "quality good", "quality 4",
                        "category 16", "errorCode x", "unsupported "}) {
    const auto [type, text] = typedText(c);
    EXPECT_THROW(parseValueText(type, text), std::invalid_argument) << c;
  }
}

TEST(PeerPartsTest, AddressFormsAndMemberPaths) {
  using namespace ormanta::peer;
  EXPECT_EQ(parseAddress("").text(), "127.0.0.1:6379");
  EXPECT_EQ(parseAddress("redis.local").text(), "redis.local:6379");
  EXPECT_EQ(parseAddress("[::1]:6380").text(), "[::1]:6380");
  EXPECT_EQ(parseAddress("[::1]").text(), "[::1]:6379");
  EXPECT_EQ(parseAddress("::1").host, "::1");
  for (const char* bad : {"host:0", "host:70000", "host:port", "[::1"}) {
    EXPECT_THROW(parseAddress(bad), std::invalid_argument) << bad;
  }
  EXPECT_EQ(memberPath("S", "Boiler.Temp", nullptr), "S.Boiler.Temp");
  EXPECT_EQ(memberPath("S", "S.Boiler.Temp", nullptr), "S.Boiler.Temp");
  EXPECT_EQ(memberPath("S", "Sx.Temp", nullptr), "S.Sx.Temp") << "only the whole name and its dot count";
  EXPECT_EQ(valueStreamKey("S", "S.Boiler.Temp"), "SValue:S.Boiler.Temp");
  // An element keyed "S" in service "S": the catalogue decides that "S.X" means S.S.X.
  Catalogue catalogue;
  catalogue.dataPoints.push_back({"S.S", "t_1", 64, {{"S.S.X", "Real", 64, "r", "SValue:S.S.X"}}});
  EXPECT_EQ(memberPath("S", "S.X", &catalogue), "S.S.X");
  EXPECT_EQ(memberPath("S", "Other.Y", &catalogue), "S.Other.Y");
}

TEST(WebPartsTest, ValuesAreCoalescedToOnePerMemberAndWindowTheLatestOneWins) {
  using namespace std::chrono_literals;
  peer::web::Coalescer coalescer(100ms);
  const auto start = peer::web::Coalescer::Clock::now();
  coalescer.offer("S.A", "1", "1-0");
  ASSERT_EQ(coalescer.take(start).size(), 1u) << "a first value goes out at once";
  for (int i = 2; i <= 1000; ++i) coalescer.offer("S.A", std::to_string(i), std::to_string(i) + "-0");
  coalescer.offer("S.B", "b", "5-0");
  const auto early = coalescer.take(start + 50ms);
  ASSERT_EQ(early.size(), 1u) << "S.A waits for its window, S.B does not";
  EXPECT_EQ(early[0].member, "S.B");
  EXPECT_EQ(coalescer.nextDue(start + 50ms), 50ms);
  const auto due = coalescer.take(start + 100ms);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].value, "1000");
  EXPECT_EQ(due[0].entryId, "1000-0");
  EXPECT_TRUE(coalescer.take(start + 300ms).empty()) << "nothing new, nothing sent";
  EXPECT_EQ(coalescer.nextDue(start + 300ms), peer::web::Coalescer::Clock::duration::max());
}

TEST(WebPartsTest, TokenAndCookieChecks) {
  const std::string token = peer::web::newAccessToken();
  EXPECT_EQ(token.size(), 32u);
  EXPECT_NE(token, peer::web::newAccessToken());
  EXPECT_TRUE(peer::web::tokenMatches(token, token));
  for (const std::string& wrong : {std::string(), token.substr(1), token + "0", std::string(32, '0')})
    EXPECT_FALSE(peer::web::tokenMatches(token, wrong)) << wrong;
  EXPECT_TRUE(peer::web::tokenMatches("", "anything")) << "loopback: no token";
  EXPECT_EQ(peer::web::cookieValue("a=1; tul_token=x y; b=2", "tul_token"), "x y");
  EXPECT_EQ(peer::web::cookieValue("xtul_token=1;tul_token=2", "tul_token"), "2");
  EXPECT_EQ(peer::web::cookieValue("a=1", "tul_token"), "");
}

TEST(WebPartsTest, TextsReachThePageAsValidJsonStrings) {
  const std::pair<std::string, std::string> cases[] = {
      {"<b>\"x\"</b>\\", R"("<b>\"x\"</b>\\")"},
      {std::string("a\nb\0c", 5), R"("a\u000ab\u0000c")"},
      {"Grad °C …", "\"Grad °C …\""},
      {"\xff\xc0\xafx\xed\xa0\x80\xe2\x82", R"("\ufffd\ufffd\ufffdx\ufffd\ufffd\ufffd\ufffd\ufffd")"}};
  for (const auto& [text, json] : cases) EXPECT_EQ(peer::web::jsonString(text), json);
  EXPECT_EQ(peer::web::splitList(",a,,b.c,"), (std::vector<std::string>{"a", "b.c"}));
}

}  // namespace
}  // namespace ormanta::apps
