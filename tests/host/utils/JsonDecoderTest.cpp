#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ormanta/utils/json/Decoder.h"
#include "support/Errors.h"

namespace {

using ormanta::utils::json::decoder::Document;
using ormanta::utils::json::decoder::Object;
using ormanta::utils::json::decoder::ParseError;
using ormanta::utils::json::decoder::String;
using ormanta::utils::json::decoder::Value;
using tul::test::messageOf;

Value parse(std::string_view text) { return Document::parse(text).root(); }

std::string readAll(String text) {
  std::string out;
  for (char c; text.read(c);) out += c;
  return out;
}

template <class Call>
std::string invalidArgumentOf(Call call) {
  return messageOf<std::invalid_argument>(call);
}

TEST(JsonDecoderTest, ReadsAConfigurationMemberByMemberInTextOrder) {
  const Object config =
      parse(R"({ "address" : "redis:6380", "serviceName":"Plant A", "address":"b" })").asObject();
  std::string read;
  for (auto cursor = config.begin(); cursor != config.end(); config.step(cursor)) {
    read += std::string((*cursor).name()) + "=" + readAll((*cursor).value().asString()) + ";";
  }
  EXPECT_EQ(read, "address=redis:6380;serviceName=Plant A;address=b;");
  EXPECT_EQ(config.find("address")->asString().view(), "b") << "find takes the last of repeated names";
  EXPECT_FALSE(config.find("Address").has_value());
  const Object empty = parse(" {} ").asObject();
  EXPECT_TRUE(empty.begin() == empty.end());
}

// A configuration that is not an object, or whose values are not strings, is refused by path.
TEST(JsonDecoderTest, WrongKindNamesThePathAndBothKinds) {
  EXPECT_EQ(invalidArgumentOf([] { parse("[1,2]").asObject(); }),
            "JSON value at $ is an array, expected an object");
  const Object config = parse(R"({"n":null,"b":true,"x":1.5,"l":[1,{"a.b":{}}],"o":{}})").asObject();
  const std::pair<const char*, const char*> notStrings[] = {
      {"n", "null"}, {"b", "a boolean"}, {"x", "a number"}, {"l", "an array"}, {"o", "an object"}};
  for (const auto& [name, kind] : notStrings) {
    EXPECT_EQ(invalidArgumentOf([&] { config.find(name)->asString(); }),
              std::string("JSON value at $.") + name + " is " + kind + ", expected a string");
  }
  const auto nested = config.find("l")->asArray().at(1).asObject().find("a.b");
  EXPECT_EQ(invalidArgumentOf([&] { nested->asInt64(); }),
            R"(JSON value at $.l[1]["a.b"] is an object, expected a number)");
  EXPECT_EQ(messageOf<std::out_of_range>([&] { config.find("l")->asArray().at(2); }),
            "JSON array at $.l has 2 entries, no entry 2");
}

TEST(JsonDecoderTest, StringsDecodeEscapesAndKeepNul) {
  const auto strings = parse(R"(["a\u0000b", "\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00", "Grüße"])").asArray();
  EXPECT_EQ(readAll(strings.at(0).asString()), std::string("a\0b", 3));
  EXPECT_EQ(strings.at(1).asString().view(), "\"\\/\b\f\n\r\t\xc3\xa9\xf0\x9f\x98\x80");
  EXPECT_EQ(strings.at(2).asString().view(), "Grüße");
  const Object named = parse(R"({"a\u0000b":1})").asObject();
  EXPECT_TRUE(named.find(std::string_view("a\0b", 3)) && !named.find("a"));
}

TEST(JsonDecoderTest, NumbersReadExactlyOrFailWithTheReason) {
  const Object n = parse(R"({"min":-9223372036854775808,"umax":18446744073709551615,"whole":-2.5e1,"half":0.5,
                             "big":9223372036854775808,"neg":-1,"below":-9223372036854775809})")
                       .asObject();
  const auto at = [&](const char* name) { return *n.find(name); };
  EXPECT_EQ(at("min").asInt64(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(at("umax").asUInt64(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(at("whole").asInt64(), -25);
  EXPECT_EQ(invalidArgumentOf([&] { at("half").asInt64(); }), "JSON value at $.half is not a whole number");
  EXPECT_EQ(invalidArgumentOf([&] { at("big").asInt64(); }),
            "JSON value at $.big is out of the range of a signed 64-bit integer");
  EXPECT_EQ(invalidArgumentOf([&] { at("neg").asUInt64(); }),
            "JSON value at $.neg is out of the range of an unsigned 64-bit integer");
  // Read as a double this rounds to INT64_MIN; it must not be taken for it.
  EXPECT_EQ(invalidArgumentOf([&] { at("below").asInt64(); }),
            "JSON value at $.below is out of the range of a signed 64-bit integer");
}

TEST(JsonDecoderTest, NumbersOfAnyLengthAndExponentConvertExactlyOrAreTooBig) {
  // 20 digits, a fraction of 400 more and e-888 crashed rapidjson's own conversion.
  const std::string digits(400, '3');
  const auto numbers = parse("[" + digits.substr(380) + ".7" + digits +
                             "e-888, -1e-400, 0.1, 5e-324, 1.7976931348623157e308, " + digits.substr(100) +
                             ", 123456789012345678901234567890]")
                           .asArray();
  EXPECT_EQ(numbers.at(0).asDouble(), 0.0);
  EXPECT_TRUE(std::signbit(numbers.at(1).asDouble()) && numbers.at(1).asDouble() == 0.0);
  EXPECT_EQ(numbers.at(2).asDouble(), 0.1);
  EXPECT_EQ(numbers.at(3).asDouble(), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(numbers.at(4).asDouble(), std::numeric_limits<double>::max());
  EXPECT_EQ(numbers.at(5).asDouble(), std::stod(digits.substr(100)));
  EXPECT_EQ(numbers.at(6).asDouble(), 1.2345678901234568e29);
  // rapidjson itself refuses integer parts beyond 308 digits.
  for (const std::string& tooBig :
       {std::string("[1e309]"), "[-" + digits + "]", std::string("[0.001e99999999999]")}) {
    EXPECT_EQ(messageOf<ParseError>([&] { Document::parse(tooBig); }),
              "invalid JSON at offset 1: Number too big to be stored in double.")
        << tooBig;
  }
}

TEST(JsonDecoderTest, InvalidTextGivesOffsetAndReason) {
  const std::pair<std::string, const char*> cases[] = {
      {"   ", "3: The document is empty."},
      {"{}{}", "2: The document root must not be followed by other values."},
      {"[\"a\xff\"]", "3: Invalid encoding in string."},
      {std::string("[\"a\0b\"]", 7), "3: Invalid escape character in string."}};
  for (const auto& [text, reason] : cases) {
    EXPECT_EQ(messageOf<ParseError>([&] { Document::parse(text); }),
              std::string("invalid JSON at offset ") + reason);
  }
}

TEST(JsonDecoderTest, ValuesOutliveDocumentAndText) {
  std::string text = R"({"serviceName":"Plant","more":{"x":[1,2,3]}})";
  const Value last =
      Document::parse(text).root().asObject().find("more")->asObject().find("x")->asArray().at(2);
  String name = Document::parse(text).root().asObject().find("serviceName")->asString();
  text.assign(text.size(), '#');
  EXPECT_EQ(readAll(name), "Plant");
  EXPECT_EQ(last.asInt64(), 3);
  EXPECT_EQ(last.path(), "$.more.x[2]");
}

}  // namespace
