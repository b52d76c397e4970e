#include <gtest/gtest.h>

#include <string>

#include "ReplyBytes.h"
#include "redis/StreamDecoding.h"

namespace {

using namespace std::string_literals;
using ormanta::plugins::TulService::decodeFieldArray;
using ormanta::plugins::TulService::decodeStreamReply;
using ormanta::plugins::TulService::StreamEntry;
using ormanta::plugins::TulService::StreamFieldValues;
using tul::test::replyFrom;

// RESP text builders, so that each case shows its shape rather than its byte counts.
std::string bulk(std::string_view text) {
  return "$" + std::to_string(text.size()) + "\r\n" + std::string(text) + "\r\n";
}

std::string array(std::initializer_list<std::string> items) {
  std::string out = "*" + std::to_string(items.size()) + "\r\n";
  for (const auto& item : items) out += item;
  return out;
}

std::string fieldArray(std::initializer_list<std::string_view> texts) {
  std::string out = "*" + std::to_string(texts.size()) + "\r\n";
  for (const auto text : texts) out += bulk(text);
  return out;
}

std::string entry(std::string_view id, std::string fields) { return array({bulk(id), std::move(fields)}); }

std::string stream(std::string_view name, std::initializer_list<std::string> entries) {
  std::string list = "*" + std::to_string(entries.size()) + "\r\n";
  for (const auto& e : entries) list += e;
  return array({bulk(name), list});
}

std::vector<StreamEntry> decode(const std::string& bytes, std::string_view key) {
  const auto reply = replyFrom(bytes);
  return reply ? decodeStreamReply(*reply, key) : std::vector<StreamEntry>{};
}

// ---- decodeStreamReply ----

TEST(DecodeStreamReply, DecodesEntriesOfTheNamedStreamInOrder) {
  const auto entries = decode(array({stream("cmds", {entry("1-0", fieldArray({"cmd", "set", "name", "a.b"})),
                                                     entry("2-0", fieldArray({"cmd", "subscribe"}))})}),
                              "cmds");
  const std::vector<StreamEntry> expected = {
      {"1-0", {{"cmd", {"set"}}, {"name", {"a.b"}}}},
      {"2-0", {{"cmd", {"subscribe"}}}},
  };
  EXPECT_EQ(entries, expected);
}

TEST(DecodeStreamReply, RepeatedFieldKeepsAllValuesInEntryOrder) {
  const auto entries =
      decode(array({stream("s", {entry("1-0", fieldArray({"name", "a", "x", "1", "name", "b"}))})}), "s");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].fields.at("name"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(entries[0].fields.at("x"), (std::vector<std::string>{"1"}));
  EXPECT_EQ(entries[0].fields.size(), 2u);
}

TEST(DecodeStreamReply, SkipsEntriesWithoutAUsableFieldArray) {
  const auto entries = decode(array({stream("s",
                                            {
                                                entry("1-0", fieldArray({"lonely"})),  // single element
                                                entry("2-0", fieldArray({})),          // empty
                                                entry("3-0", "*-1\r\n"),               // nil
                                                entry("4-0", bulk("notAnArray")),
                                                entry("5-0", fieldArray({"kept", "yes"})),
                                            })}),
                              "s");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].id, "5-0");
}

TEST(DecodeStreamReply, SkipsEntriesOfTheWrongShape) {
  const auto entries = decode(array({stream("s",
                                            {
                                                array({":7\r\n", fieldArray({"f", "v"})}),  // integer ID
                                                array({bulk("1-0")}),                       // no fields
                                                array({bulk("2-0"), fieldArray({"f", "v"}), bulk("extra")}),
                                                bulk("3-0"),  // not an array at all
                                                entry("4-0", fieldArray({"f", "v"})),
                                            })}),
                              "s");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].id, "4-0");
}

TEST(DecodeStreamReply, AnotherStreamsNameGivesAnEmptyList) {
  const std::string reply = array({stream("other", {entry("1-0", fieldArray({"f", "v"}))})});
  EXPECT_TRUE(decode(reply, "mine").empty());
  EXPECT_TRUE(decode(reply, "othe").empty()) << "a prefix of the name is not the name";
  EXPECT_TRUE(decode(reply, "otherX").empty());
  EXPECT_EQ(decode(reply, "other").size(), 1u);
}

TEST(DecodeStreamReply, TakesOnlyTheNamedStreamFromSeveral) {
  const auto entries = decode(array({stream("a", {entry("1-0", fieldArray({"f", "a1"}))}),
                                     stream("b", {entry("1-1", fieldArray({"f", "b1"}))}),
                                     stream("a", {entry("2-0", fieldArray({"f", "a2"}))})}),
                              "a");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].fields.at("f")[0], "a1");
  EXPECT_EQ(entries[1].fields.at("f")[0], "a2");
}

TEST(DecodeStreamReply, SkipsTopLevelElementsOfTheWrongShape) {
  const auto entries = decode(array({bulk("s"),                               // not a pair
                                     array({bulk("s")}),                      // one element
                                     array({":1\r\n", "*0\r\n"}),             // name not a string
                                     array({bulk("s"), bulk("entries?")}),    // entries not an array
                                     array({bulk("s"), "*0\r\n"}),            // no entries
                                     array({bulk("s"), "*0\r\n", "*0\r\n"}),  // three elements
                                     stream("s", {entry("9-0", fieldArray({"f", "v"}))})}),
                              "s");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].id, "9-0");
}

TEST(DecodeStreamReply, RepliesWithoutElementsGiveAnEmptyList) {
  EXPECT_TRUE(decode("*0\r\n", "s").empty());
  EXPECT_TRUE(decode(":3\r\n", "s").empty());
  EXPECT_TRUE(decode("$1\r\ns\r\n", "s").empty());
  EXPECT_TRUE(decode("*-1\r\n", "s").empty());
}

TEST(DecodeStreamReply, TextsEndAtTheFirstZeroByte) {
  const auto entries =
      decode(array({stream("s\0junk"s, {entry("1-0\0x"s, fieldArray({"fi\0eld"s, "va\0lue"s}))})}), "s");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].id, "1-0");
  EXPECT_EQ(entries[0].fields, (StreamFieldValues{{"fi", {"va"}}}));
  EXPECT_TRUE(decode(array({stream("s\0junk"s, {entry("1-0", fieldArray({"f", "v"}))})}), "s\0junk"s).empty())
      << "the name's text stops at the zero byte, so the full key no longer matches";
}

// ---- decodeFieldArray ----

TEST(DecodeFieldArray, GivesNothingForAbsentNonArrayOrShortElements) {
  EXPECT_FALSE(decodeFieldArray(nullptr));
  EXPECT_FALSE(decodeFieldArray(replyFrom(bulk("f")).get()));
  EXPECT_FALSE(decodeFieldArray(replyFrom("*-1\r\n").get()));
  EXPECT_FALSE(decodeFieldArray(replyFrom(fieldArray({})).get()));
  EXPECT_FALSE(decodeFieldArray(replyFrom(fieldArray({"f"})).get()));
}

TEST(DecodeFieldArray, PairsFieldsWithValuesAndIgnoresAnOddLastElement) {
  EXPECT_EQ(decodeFieldArray(replyFrom(fieldArray({"f", "v"})).get()), (StreamFieldValues{{"f", {"v"}}}));
  EXPECT_EQ(decodeFieldArray(replyFrom(fieldArray({"f", "v", "g", "w", "odd"})).get()),
            (StreamFieldValues{{"f", {"v"}}, {"g", {"w"}}}));
  EXPECT_EQ(decodeFieldArray(replyFrom(fieldArray({"f", "1", "f", "2", "f", "3"})).get()),
            (StreamFieldValues{{"f", {"1", "2", "3"}}}));
  EXPECT_EQ(decodeFieldArray(replyFrom(fieldArray({"", ""})).get()), (StreamFieldValues{{"", {""}}}));
}

}  // namespace
