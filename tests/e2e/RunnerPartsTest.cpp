// The runner's model file and value texts, and tul-peer's address forms and member paths and
// its web view's coalescing, token and escaping, without processes or servers.

#include <gtest/gtest.h>

#include "host/ModelFile.h"
#include "host/ValueConversion.h"
#include "peer/Address.h"
#include "peer/MemberPatterns.h"
#include "peer/MemberValues.h"
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
      {"{", "invalid JSON"},
      {"{\"elements\":[\n  {\"key\":\"A\",\n   \"name\": x}]}", "invalid JSON at line 3, column 12: "}};
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
  try {
    parseAddress("32612");
    ADD_FAILURE() << "a port alone is no host name";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(),
                 R"(address "32612" is a port alone: give HOST:PORT (127.0.0.1:32612) or -p 32612)");
  }
  // --address, else -h/-p, else TUL_ADDRESS, else the default.
  EXPECT_EQ(chooseAddress("a:1", "", "", "env:2"), "a:1");
  EXPECT_EQ(chooseAddress("", "", "16392", "env:2"), "127.0.0.1:16392");
  EXPECT_EQ(chooseAddress("", "redis.local", "", nullptr), "redis.local:6379");
  EXPECT_EQ(chooseAddress("", "::1", "7000", nullptr), "[::1]:7000");
  EXPECT_EQ(chooseAddress("", "", "", "env:2"), "env:2");
  EXPECT_EQ(chooseAddress("", "", "", nullptr), "");
  EXPECT_THROW(chooseAddress("a:1", "", "2", nullptr), std::invalid_argument);
  EXPECT_THROW(chooseAddress("", "", "port", nullptr), std::invalid_argument);
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

TEST(PeerPartsTest, PatternsMatchMemberPathsWithOrWithoutTheServiceName) {
  using namespace ormanta::peer;
  const auto member = [](const char* path) { return MemberInfo{path, "Real", 64, "r", ""}; };
  Catalogue catalogue;
  catalogue.dataPoints.push_back(
      {"P.Boiler1", "t_1", 0, {member("P.Boiler1.Temp"), member("P.Boiler1.Setpoint")}});
  catalogue.dataPoints.push_back({"P.Boiler2", "t_1", 0, {member("P.Boiler2.Temp")}});
  catalogue.dataPoints.push_back({"P.Tank", "t_2", 0, {member("P.Tank.Level"), member("P.Tank.Temp2")}});
  const std::pair<const char*, std::string> cases[] = {
      {"Boiler1.*", "P.Boiler1.Temp P.Boiler1.Setpoint"},
      {"*.Temp", "P.Boiler1.Temp P.Boiler2.Temp"},
      {"P.Boiler?.Temp", "P.Boiler1.Temp P.Boiler2.Temp"},
      {"Boiler[!1].*", "P.Boiler2.Temp"},
      {"*Temp*", "P.Boiler1.Temp P.Boiler2.Temp P.Tank.Temp2"},
      {"Tank.[K-M]evel", "P.Tank.Level"},
      {"Tank", ""},
      {"*.temp", ""},
  };
  for (const auto& [pattern, expected] : cases) {
    std::string matched;
    for (const MemberInfo* member : matchMembers("P", pattern, catalogue))
      matched += (matched.empty() ? "" : " ") + member->path;
    EXPECT_EQ(matched, expected) << pattern;
  }
  EXPECT_TRUE(globMatch("a\\*b", "a*b"));
  EXPECT_FALSE(globMatch("a\\*b", "axb"));
  EXPECT_TRUE(globMatch("[a", "[a")) << "an open bracket without its end is a character";
  EXPECT_FALSE(isPattern("Boiler1.Temp"));
}

TEST(PeerPartsTest, JsonValuesFollowTheMembersType) {
  using namespace ormanta::peer;
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"Real", "81.5", "81.5"},    {"Real", "1e3", "1000"},
      {"Real", "nan", R"("nan")"}, {"Real", "-inf", R"("-inf")"},
      {"Int", "-42", "-42"},       {"UInt", "18446744073709551615", "18446744073709551615"},
      {"Bool", "true", "true"},    {"Bool", "yes", R"("yes")"},
      {"String", "12", R"("12")"}, {"String", "a\"b\n", R"("a\"b\u000a")"},
      {"Int", "1.5", R"("1.5")"},
  };
  for (const auto& [type, text, json] : cases) EXPECT_EQ(jsonValue(type, text), json) << type << " " << text;
}

TEST(PeerPartsTest, SetValuesAreCheckedAgainstTheMembersTypeBeforeSending) {
  using namespace ormanta::peer;
  // type, bit size, text given, text sent ("" for a refusal), what the refusal names
  const std::tuple<const char*, std::uint64_t, const char*, const char*, const char*> cases[] = {
      {"Real", 64, "82.5", "82.5", ""},
      {"Real", 64, "8.25e1", "8.25e1", ""},
      {"Real", 64, "-inf", "-inf", ""},
      {"Real", 64, "82,5", "", R"("82,5" is not a Real (accepted: a decimal number such as 82, 82.5)"},
      {"Real", 64, "+1", "", "no '+'"},
      {"Real", 64, " 1", "", "not a Real"},
      {"Real", 64, "infinity", "", "not a Real"},
      {"Bool", 8, "True", "true", ""},
      {"Bool", 8, "FALSE", "false", ""},
      {"Bool", 8, "1", "true", ""},
      {"Bool", 8, "0", "false", ""},
      {"Bool", 8, "yes", "", R"("yes" is not a Bool (accepted: true, false, 1, 0; any case))"},
      {"Int", 8, "-128", "-128", ""},
      {"Int", 8, "128", "", "is not an Int of 8 bits"},
      {"Int", 64, "12abc", "", "decimal digits, a leading '-'"},
      {"UInt", 16, "65535", "65535", ""},
      {"UInt", 16, "65536", "", "is not a UInt of 16 bits"},
      {"UInt", 64, "-1", "", "not a UInt"},
      {"String", 80, " any text ", " any text ", ""},
  };
  for (const auto& [type, bits, text, sent, refusal] : cases) {
    const MemberInfo member{"P.X", type, bits, "b", "PValue:P.X"};
    std::string problem;
    const std::optional<std::string> checked = checkedSetValue(member, text, problem);
    EXPECT_EQ(checked.value_or(""), sent) << type << " " << text;
    EXPECT_NE(problem.find(refusal), std::string::npos) << type << " " << text << ": " << problem;
  }
}

}  // namespace
}  // namespace ormanta::apps
