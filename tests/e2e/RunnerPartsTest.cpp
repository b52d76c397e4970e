// The runner's model file and value texts, and tul-peer's address forms and member paths,
// without processes or servers.

#include <gtest/gtest.h>

#include "host/ModelFile.h"
#include "host/ValueConversion.h"
#include "peer/Address.h"
#include "peer/Registration.h"

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

}  // namespace
}  // namespace ormanta::apps
