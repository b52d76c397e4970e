#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "ormanta/utils/json/Decoder.h"

namespace {

using ormanta::utils::json::decoder::Array;
using ormanta::utils::json::decoder::Document;
using ormanta::utils::json::decoder::Kind;
using ormanta::utils::json::decoder::Object;
using ormanta::utils::json::decoder::ParseError;
using ormanta::utils::json::decoder::String;
using ormanta::utils::json::decoder::Value;

Value parse(std::string_view text) { return Document::parse(text).root(); }

std::string readAll(String text) {
  std::string out;
  char c;
  while (text.read(c)) out += c;
  return out;
}

std::vector<std::pair<std::string, std::string>> membersOf(const Object& object) {
  std::vector<std::pair<std::string, std::string>> members;
  for (auto cursor = object.begin(); cursor != object.end(); object.step(cursor)) {
    const auto member = *cursor;
    members.emplace_back(std::string(member.name()), member.value().path());
  }
  return members;
}

template <class F>
std::string invalidArgumentOf(F&& f) {
  try {
    f();
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "no std::invalid_argument";
}

// ---- objects and members

TEST(JsonDecoderTest, ReadsAConfigurationObjectInTextOrder) {
  const Object config = parse(R"({ "address" : "redis.local:6380", "serviceName":"Plant A" })").asObject();
  ASSERT_EQ(config.size(), 2u);
  std::vector<std::pair<std::string, std::string>> read;
  for (auto cursor = config.begin(); cursor != config.end(); config.step(cursor)) {
    const auto member = *cursor;
    read.emplace_back(std::string(member.name()), readAll(member.value().asString()));
  }
  EXPECT_EQ(read, (std::vector<std::pair<std::string, std::string>>{{"address", "redis.local:6380"},
                                                                    {"serviceName", "Plant A"}}));
}

TEST(JsonDecoderTest, RepeatedNamesStayInOrderAndFindTakesTheLast) {
  const Object object = parse(R"({"a":1,"b":2,"a":3})").asObject();
  ASSERT_EQ(object.size(), 3u);
  std::vector<std::pair<std::string, std::int64_t>> read;
  for (auto cursor = object.begin(); cursor != object.end(); object.step(cursor)) {
    read.emplace_back(std::string((*cursor).name()), (*cursor).value().asInt64());
  }
  EXPECT_EQ(read, (std::vector<std::pair<std::string, std::int64_t>>{{"a", 1}, {"b", 2}, {"a", 3}}));
  EXPECT_EQ(object.find("a")->asInt64(), 3);
  EXPECT_EQ(object.find("b")->asInt64(), 2);
  EXPECT_FALSE(object.find("c").has_value());
  EXPECT_FALSE(object.find("A").has_value());
}

TEST(JsonDecoderTest, EmptyObjectHasNoMembers) {
  const Object object = parse(" {} ").asObject();
  EXPECT_EQ(object.size(), 0u);
  EXPECT_TRUE(object.begin() == object.end());
  EXPECT_EQ(object.path(), "$");
}

TEST(JsonDecoderTest, MemberNamesMayHoldNulAndEscapes) {
  const Object object = parse(R"({"a\u0000b":1,"\u00fc":2})").asObject();
  EXPECT_EQ((*object.begin()).name(), std::string_view("a\0b", 3));
  EXPECT_TRUE(object.find(std::string_view("a\0b", 3)).has_value());
  EXPECT_FALSE(object.find("a").has_value());
  EXPECT_TRUE(object.find("\xc3\xbc").has_value());
}

// ---- paths

TEST(JsonDecoderTest, PathsNameMembersAndEntries) {
  const Value root = parse(R"({"list":[0,1,{"inner":{"x1":true}}],"a.b":1,"":2,"1x":3,"q\"d":4,"_ok":5})");
  EXPECT_EQ(root.path(), "$");
  const Array list = root.asObject().find("list")->asArray();
  EXPECT_EQ(list.path(), "$.list");
  EXPECT_EQ(list.at(2).path(), "$.list[2]");
  const Value x1 = *list.at(2).asObject().find("inner")->asObject().find("x1");
  EXPECT_EQ(x1.path(), "$.list[2].inner.x1");
  EXPECT_THAT(membersOf(root.asObject()),
              testing::ElementsAre(testing::Pair("list", "$.list"), testing::Pair("a.b", "$[\"a.b\"]"),
                                   testing::Pair("", "$[\"\"]"), testing::Pair("1x", "$[\"1x\"]"),
                                   testing::Pair("q\"d", "$[\"q\\\"d\"]"), testing::Pair("_ok", "$._ok")));
}

// ---- kinds and typed access

TEST(JsonDecoderTest, KindsOfValues) {
  const Array values = parse(R"([null,true,false,0,-1.5,"",[],{}])").asArray();
  const Kind expected[] = {Kind::kNull,   Kind::kBool,   Kind::kBool,  Kind::kNumber,
                           Kind::kNumber, Kind::kString, Kind::kArray, Kind::kObject};
  ASSERT_EQ(values.size(), std::size(expected));
  for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(values.at(i).kind(), expected[i]) << i;
  EXPECT_TRUE(values.at(0).isNull());
  EXPECT_FALSE(values.at(1).isNull());
  EXPECT_TRUE(values.at(1).asBool());
  EXPECT_FALSE(values.at(2).asBool());
}

TEST(JsonDecoderTest, EveryWrongKindNamesPathAndBothKinds) {
  const Object object = parse(R"({"n":null,"b":true,"x":1.5,"s":"t","l":[1],"o":{}})").asObject();
  const auto value = [&](const char* name) { return *object.find(name); };
  const std::pair<const char*, const char*> kinds[] = {{"n", "null"},     {"b", "a boolean"},
                                                       {"x", "a number"}, {"s", "a string"},
                                                       {"l", "an array"}, {"o", "an object"}};
  for (const auto& [name, phrase] : kinds) {
    const Value v = value(name);
    const std::string prefix = std::string("JSON value at $.") + name + " is " + phrase + ", expected ";
    if (v.kind() != Kind::kString) {
      EXPECT_EQ(invalidArgumentOf([&] { v.asString(); }), prefix + "a string");
    }
    if (v.kind() != Kind::kObject) {
      EXPECT_EQ(invalidArgumentOf([&] { v.asObject(); }), prefix + "an object");
    }
    if (v.kind() != Kind::kArray) {
      EXPECT_EQ(invalidArgumentOf([&] { v.asArray(); }), prefix + "an array");
    }
    if (v.kind() != Kind::kBool) {
      EXPECT_EQ(invalidArgumentOf([&] { v.asBool(); }), prefix + "a boolean");
    }
    if (v.kind() != Kind::kNumber) {
      EXPECT_EQ(invalidArgumentOf([&] { v.asDouble(); }), prefix + "a number");
      EXPECT_EQ(invalidArgumentOf([&] { v.asInt64(); }), prefix + "a number");
      EXPECT_EQ(invalidArgumentOf([&] { v.asUInt64(); }), prefix + "a number");
    }
  }
}

TEST(JsonDecoderTest, RootThatIsNotAnObjectIsRefused) {
  EXPECT_EQ(invalidArgumentOf([] { parse("[1,2]").asObject(); }),
            "JSON value at $ is an array, expected an object");
  EXPECT_EQ(invalidArgumentOf([] { parse("\"address\"").asObject(); }),
            "JSON value at $ is a string, expected an object");
  EXPECT_EQ(invalidArgumentOf([] { parse("null").asObject(); }),
            "JSON value at $ is null, expected an object");
}

TEST(JsonDecoderTest, ArrayEntriesAndOutOfRangeIndex) {
  const Array array = parse(R"({"list":[10,20,30]})").asObject().find("list")->asArray();
  ASSERT_EQ(array.size(), 3u);
  EXPECT_EQ(array.at(0).asInt64(), 10);
  EXPECT_EQ(array.at(2).asInt64(), 30);
  try {
    array.at(3);
    FAIL() << "no std::out_of_range";
  } catch (const std::out_of_range& error) {
    EXPECT_STREQ(error.what(), "JSON array at $.list has 3 entries, no entry 3");
  }
  EXPECT_THROW(parse("[]").asArray().at(0), std::out_of_range);
}

// ---- strings

TEST(JsonDecoderTest, StringsKeepEscapedNulAndDecodeEscapes) {
  const Array strings =
      parse(R"(["a\u0000b", "\"\\\/\b\f\n\r\t", "\u00e9\u20ac\ud83d\ude00", "", "x"])").asArray();
  EXPECT_EQ(strings.at(0).asString().view(), std::string_view("a\0b", 3));
  EXPECT_EQ(strings.at(0).asString().size(), 3u);
  EXPECT_EQ(readAll(strings.at(0).asString()), std::string("a\0b", 3));
  EXPECT_EQ(strings.at(1).asString().view(), "\"\\/\b\f\n\r\t");
  EXPECT_EQ(strings.at(2).asString().view(), "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  EXPECT_EQ(strings.at(3).asString().size(), 0u);
  String x = strings.at(4).asString();
  char c = 0;
  EXPECT_TRUE(x.read(c));
  EXPECT_EQ(c, 'x');
  EXPECT_FALSE(x.read(c));
  EXPECT_EQ(std::string(x.begin(), x.end()), "x");
}

TEST(JsonDecoderTest, RawUtf8IsKept) {
  EXPECT_EQ(parse("\"Gr\xc3\xbc\xc3\x9f\x65 \xe6\xb8\xa9\"").asString().view(),
            "Gr\xc3\xbc\xc3\x9f\x65 \xe6\xb8\xa9");
}

// ---- numbers

TEST(JsonDecoderTest, IntegersInRange) {
  const Array n = parse("[0,-1,9223372036854775807,-9223372036854775808,18446744073709551615,42]").asArray();
  EXPECT_EQ(n.at(0).asInt64(), 0);
  EXPECT_EQ(n.at(1).asInt64(), -1);
  EXPECT_EQ(n.at(2).asInt64(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(n.at(2).asUInt64(), 9223372036854775807u);
  EXPECT_EQ(n.at(3).asInt64(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(n.at(4).asUInt64(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(n.at(5).asUInt64(), 42u);
  EXPECT_EQ(n.at(5).asDouble(), 42.0);
  EXPECT_EQ(n.at(4).asDouble(), 18446744073709551615.0);
}

TEST(JsonDecoderTest, WholeNumbersWrittenWithFractionOrExponentAreIntegers) {
  const Array n = parse("[3.0,1e3,-2.5e1,0.0,1E2]").asArray();
  EXPECT_EQ(n.at(0).asInt64(), 3);
  EXPECT_EQ(n.at(0).asUInt64(), 3u);
  EXPECT_EQ(n.at(1).asUInt64(), 1000u);
  EXPECT_EQ(n.at(2).asInt64(), -25);
  EXPECT_EQ(n.at(3).asUInt64(), 0u);
  EXPECT_EQ(n.at(4).asInt64(), 100);
}

TEST(JsonDecoderTest, FractionsAndOutOfRangeIntegersAreRefused) {
  const Object n = parse(R"({"half":0.5,"big":9223372036854775808,"neg":-1,"huge":1e30,
                             "u65":18446744073709551616,"below":-9223372036854775809})")
                       .asObject();
  const auto at = [&](const char* name) { return *n.find(name); };
  EXPECT_EQ(invalidArgumentOf([&] { at("half").asInt64(); }), "JSON value at $.half is not a whole number");
  EXPECT_EQ(invalidArgumentOf([&] { at("half").asUInt64(); }), "JSON value at $.half is not a whole number");
  EXPECT_EQ(invalidArgumentOf([&] { at("big").asInt64(); }),
            "JSON value at $.big is out of the range of a signed 64-bit integer");
  EXPECT_EQ(invalidArgumentOf([&] { at("neg").asUInt64(); }),
            "JSON value at $.neg is out of the range of an unsigned 64-bit integer");
  EXPECT_EQ(invalidArgumentOf([&] { at("huge").asInt64(); }),
            "JSON value at $.huge is out of the range of a signed 64-bit integer");
  EXPECT_EQ(invalidArgumentOf([&] { at("huge").asUInt64(); }),
            "JSON value at $.huge is out of the range of an unsigned 64-bit integer");
  EXPECT_EQ(invalidArgumentOf([&] { at("u65").asUInt64(); }),
            "JSON value at $.u65 is out of the range of an unsigned 64-bit integer");
  // Read as a double this rounds to INT64_MIN; it must not be taken for it.
  EXPECT_EQ(invalidArgumentOf([&] { at("below").asInt64(); }),
            "JSON value at $.below is out of the range of a signed 64-bit integer");
  EXPECT_EQ(at("half").asDouble(), 0.5);
  EXPECT_EQ(at("huge").asDouble(), 1e30);
}

TEST(JsonDecoderTest, DoublesReadBackExactly) {
  const Array n =
      parse("[0.1,-2.2250738585072014e-308,1.7976931348623157e308,5e-324,123456789.123456789]").asArray();
  EXPECT_EQ(n.at(0).asDouble(), 0.1);
  EXPECT_EQ(n.at(1).asDouble(), -2.2250738585072014e-308);
  EXPECT_EQ(n.at(2).asDouble(), 1.7976931348623157e308);
  EXPECT_EQ(n.at(3).asDouble(), 5e-324);
  EXPECT_EQ(n.at(4).asDouble(), 123456789.123456789);
}

// ---- invalid text

struct InvalidCase {
  std::string text;
  std::size_t offset;
  std::string reason;
};

TEST(JsonDecoderTest, InvalidTextGivesOffsetAndReason) {
  const InvalidCase cases[] = {
      {"", 0, "The document is empty."},
      {"   ", 3, "The document is empty."},
      {"{", 1, "Missing a name for object member."},
      {R"({"a":})", 5, "Invalid value."},
      {R"({"a" 1})", 5, "Missing a colon after a name of object member."},
      {R"({"a":1,})", 7, "Missing a name for object member."},
      {R"({"a":1 "b":2})", 7, "Missing a comma or '}' after an object member."},
      {"[1 2]", 3, "Missing a comma or ']' after an array element."},
      {"[1,]", 3, "Invalid value."},
      {"{} x", 3, "The document root must not be followed by other values."},
      {"{}{}", 2, "The document root must not be followed by other values."},
      {"// comment\n{}", 0, "Invalid value."},
      {"[NaN]", 1, "Invalid value."},
      {"[01]", 2, "Missing a comma or ']' after an array element."},
      {"[1.]", 3, "Miss fraction part in number."},
      {"[1e]", 3, "Miss exponent in number."},
      {"[1e400]", 1, "Number too big to be stored in double."},
      {"'a'", 0, "Invalid value."},
      {R"(["a)", 3, "Missing a closing quotation mark in string."},
      {R"(["\x"])", 2, "Invalid escape character in string."},
      {R"(["\u12G4"])", 2, "Incorrect hex digit after \\u escape in string."},
      {R"(["\ud800"])", 2, "The surrogate pair in string is invalid."},
      {"[\"a\x01\"]", 3, "Invalid escape character in string."},
      {"[\"a\xff\"]", 3, "Invalid encoding in string."},
      {"[\"\xc3\"]", 2, "Invalid encoding in string."},
      {std::string("{}\0", 3), 2, "The document root must not be followed by other values."},
      {std::string("[\"a\0b\"]", 7), 3, "Invalid escape character in string."},
      {std::string("\0{}", 3), 0, "Invalid value."},
  };
  for (const InvalidCase& c : cases) {
    try {
      Document::parse(c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const ParseError& error) {
      EXPECT_EQ(error.offset(), c.offset) << c.text;
      EXPECT_EQ(std::string(error.what()),
                "invalid JSON at offset " + std::to_string(c.offset) + ": " + c.reason)
          << c.text;
    }
  }
}

TEST(JsonDecoderTest, ParseErrorIsARuntimeError) { EXPECT_THROW(Document::parse("{"), std::runtime_error); }

// ---- size and depth

TEST(JsonDecoderTest, DeepNestingNeedsNoDeepStack) {
  constexpr std::size_t kDepth = 1'000'000;
  const std::string text = std::string(kDepth, '[') + "7" + std::string(kDepth, ']');
  Value value = parse(text);
  for (int i = 0; i < 1000; ++i) value = value.asArray().at(0);
  EXPECT_EQ(value.path().size(), 1 + 3 * 1000u);
  EXPECT_EQ(value.kind(), Kind::kArray);

  try {
    Document::parse(std::string(kDepth, '['));
    FAIL() << "unclosed arrays accepted";
  } catch (const ParseError& error) {
    EXPECT_EQ(error.offset(), kDepth);
  }
}

TEST(JsonDecoderTest, LargeDocuments) {
  constexpr int kMembers = 100000;
  std::string text = "{";
  for (int i = 0; i < kMembers; ++i) {
    if (i > 0) text += ',';
    text += "\"k" + std::to_string(i) + "\":[" + std::to_string(i) + ",\"v" + std::to_string(i) + "\"]";
  }
  text += "}";
  const Object object = parse(text).asObject();
  ASSERT_EQ(object.size(), static_cast<std::size_t>(kMembers));
  int expected = 0;
  for (auto cursor = object.begin(); cursor != object.end(); object.step(cursor), ++expected) {
    const auto member = *cursor;
    ASSERT_EQ(member.name(), "k" + std::to_string(expected));
    const Array entry = member.value().asArray();
    ASSERT_EQ(entry.at(0).asInt64(), expected);
    ASSERT_EQ(entry.at(1).asString().view(), "v" + std::to_string(expected));
  }
  EXPECT_EQ(object.find("k99999")->asArray().at(0).asInt64(), 99999);

  const std::string longString(5'000'000, 'z');
  EXPECT_EQ(parse("\"" + longString + "\"").asString().view(), longString);
}

// ---- lifetime

TEST(JsonDecoderTest, ValuesOutliveDocumentAndText) {
  std::optional<String> name;
  std::optional<Object> object;
  std::optional<Value> last;
  {
    std::string text = R"({"serviceName":"Plant","more":{"x":[1,2,3]}})";
    const Document document = Document::parse(text);
    object = document.root().asObject();
    name = object->find("serviceName")->asString();
    last = object->find("more")->asObject().find("x")->asArray().at(2);
    text.assign(text.size(), '#');  // the tree holds its own copy of the strings
  }
  EXPECT_EQ(name->view(), "Plant");
  EXPECT_EQ(last->asInt64(), 3);
  EXPECT_EQ(last->path(), "$.more.x[2]");
  EXPECT_THAT(membersOf(*object), testing::ElementsAre(testing::Pair("serviceName", "$.serviceName"),
                                                       testing::Pair("more", "$.more")));
  object.reset();
  last.reset();
  EXPECT_EQ(readAll(*name), "Plant");
}

}  // namespace
