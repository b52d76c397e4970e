#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ormanta/utils/json/Decoder.h"
#include "ormanta/utils/json/Encoder.h"

namespace {

namespace encoder = ormanta::utils::json::encoder;
namespace decoder = ormanta::utils::json::decoder;
using encoder::Array;
using encoder::Document;
using encoder::kFormatCompact;
using encoder::kFormatPretty;
using encoder::Object;

// Collects the text through a window of a chosen size; a tiny window makes every few bytes
// a refill. A limit makes the stream fail like a stream that cannot grow any more.
class TestStream final : public ormanta::utils::io::OutputStream<char> {
 public:
  explicit TestStream(std::size_t window = 4096, std::size_t limit = std::string::npos)
      : window_(window), limit_(limit) {
    setWriteBuffer(window_.data(), window_.data() + window_.size());
  }

  std::string text() const { return committed_ + std::string(window_.data(), pending()); }
  int refills() const { return refills_; }
  int directWrites() const { return directWrites_; }

  std::string deviceDescription() const override { return "test stream"; }

 protected:
  void refillWriteBuffer() override {
    ++refills_;
    committed_.append(window_.data(), window_.size());
    if (committed_.size() >= limit_) throw std::length_error("test stream is full");
    setWriteBuffer(window_.data(), window_.data() + window_.size());
  }

  std::size_t writeDirect(const char* data, std::size_t count) override {
    ++directWrites_;
    committed_.append(window_.data(), pending());
    committed_.append(data, count);
    setWriteBuffer(window_.data(), window_.data() + window_.size());
    return count;
  }

 private:
  std::size_t pending() const { return static_cast<std::size_t>(writePosition() - window_.data()); }

  std::vector<char> window_;
  std::size_t limit_;
  std::string committed_;
  int refills_ = 0;
  int directWrites_ = 0;
};

std::string encodeString(std::string_view value) {
  TestStream stream;
  Document document(stream, kFormatCompact);
  Array array = document.asArray();
  array.addStringView(value);
  array.close();
  document.close();
  const std::string text = stream.text();
  return text.substr(2, text.size() - 4);  // strip ["..."]
}

template <class F>
std::string logicErrorOf(F&& f) {
  try {
    f();
  } catch (const std::logic_error& error) {
    return error.what();
  }
  return "no std::logic_error";
}

// ---- exact records

TEST(JsonEncoderTest, ServiceRecordIsCompact) {
  TestStream stream;
  Document document(stream, kFormatCompact);
  Object record = document.asObject();
  record.addStringView("dataPointsKey", "A.DataPoints");
  record.addStringView("dataTypesKey", "A.DataTypes");
  record.addStringView("cmdChn", "A.Commands");
  record.close();
  document.close();
  EXPECT_EQ(stream.text(),
            R"({"dataPointsKey":"A.DataPoints","dataTypesKey":"A.DataTypes","cmdChn":"A.Commands"})");
}

TEST(JsonEncoderTest, StructureTypeRecordWithPreformattedSizes) {
  TestStream stream;
  Document document(stream, kFormatCompact);
  Array members = document.asArray();
  const char* rows[][4] = {{".On", "Bool", "8", "b"}, {".Temp", "Real", "64", "r"}};
  for (const auto& row : rows) {
    Object member = members.addObject();
    member.addStringView("name", row[0]);
    member.addStringView("type", row[1]);
    member.addPreformattedNumber("size", row[2]);
    member.addStringView("access", row[3]);
    member.addStringView("updateChn", row[0]);
    member.close();
  }
  members.close();
  document.close();
  EXPECT_EQ(stream.text(), R"([{"name":".On","type":"Bool","size":8,"access":"b","updateChn":".On"},)"
                           R"({"name":".Temp","type":"Real","size":64,"access":"r","updateChn":".Temp"}])");
}

TEST(JsonEncoderTest, EmptyContainersAndOtherScalars) {
  TestStream stream;
  Document document(stream, kFormatCompact);
  Object root = document.asObject();
  root.addArray("empty").close();
  root.addObject("none").close();
  root.addBool("yes", true);
  root.addBool("no", false);
  root.addNull("nothing");
  Array list = root.addArray("list");
  list.addBool(false);
  list.addNull();
  list.addPreformattedNumber("-0.5");
  list.addArray().close();
  Array inner = list.addArray();
  inner.addStringView("x");
  inner.close();
  list.close();
  root.close();
  document.close();
  EXPECT_EQ(
      stream.text(),
      R"({"empty":[],"none":{},"yes":true,"no":false,"nothing":null,"list":[false,null,-0.5,[],["x"]]})");
}

TEST(JsonEncoderTest, EmptyRoots) {
  TestStream objectStream;
  Document objectDocument(objectStream, kFormatCompact);
  objectDocument.asObject().close();
  objectDocument.close();
  EXPECT_EQ(objectStream.text(), "{}");

  TestStream arrayStream;
  Document arrayDocument(arrayStream, kFormatPretty);
  arrayDocument.asArray().close();
  arrayDocument.close();
  EXPECT_EQ(arrayStream.text(), "[]");
}

TEST(JsonEncoderTest, PrettyFormatIndentsWithFourSpaces) {
  TestStream stream;
  Document document(stream, kFormatPretty);
  Object root = document.asObject();
  root.addStringView("a", "x");
  Array list = root.addArray("list");
  list.addPreformattedNumber("1");
  Object entry = list.addObject();
  entry.addBool("b", true);
  entry.close();
  list.close();
  root.addObject("e").close();
  root.addNull("n");
  root.close();
  document.close();
  EXPECT_EQ(stream.text(),
            "{\n"
            "    \"a\": \"x\",\n"
            "    \"list\": [\n"
            "        1,\n"
            "        {\n"
            "            \"b\": true\n"
            "        }\n"
            "    ],\n"
            "    \"e\": {},\n"
            "    \"n\": null\n"
            "}");
}

// ---- string escaping and UTF-8

TEST(JsonEncoderTest, EscapesQuotesBackslashesAndEveryControlCharacter) {
  EXPECT_EQ(encodeString("say \"hi\""), R"(say \"hi\")");
  EXPECT_EQ(encodeString(R"(C:\dir\)"), R"(C:\\dir\\)");
  EXPECT_EQ(encodeString("a/b\x7f"), "a/b\x7f");
  const char* expected[32] = {"\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006",
                              "\\u0007", "\\b",     "\\t",     "\\n",     "\\u000B", "\\f",     "\\r",
                              "\\u000E", "\\u000F", "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014",
                              "\\u0015", "\\u0016", "\\u0017", "\\u0018", "\\u0019", "\\u001A", "\\u001B",
                              "\\u001C", "\\u001D", "\\u001E", "\\u001F"};
  for (int c = 0; c < 32; ++c) {
    const char raw[] = {'<', static_cast<char>(c), '>'};
    EXPECT_EQ(encodeString(std::string_view(raw, 3)), std::string("<") + expected[c] + ">") << c;
  }
}

TEST(JsonEncoderTest, EmbeddedNulIsPartOfTheText) {
  EXPECT_EQ(encodeString(std::string_view("a\0b\0", 4)), "a\\u0000b\\u0000");
}

TEST(JsonEncoderTest, KeysAreEscapedLikeValues) {
  TestStream stream;
  Document document(stream, kFormatCompact);
  Object root = document.asObject();
  root.addStringView(std::string_view("k\"\n\0", 4), "v");
  root.close();
  document.close();
  EXPECT_EQ(stream.text(), R"({"k\"\n\u0000":"v"})");
}

TEST(JsonEncoderTest, ValidUtf8IsKeptAsIs) {
  const std::string text =
      "Gr\xc3\xbc\xc3\x9f\x65 \xe6\xb8\xa9\xe5\xba\xa6 \xf0\x9f\x98\x80 \xef\xbf\xbf \xf4\x8f\xbf\xbf";
  EXPECT_EQ(encodeString(text), text);
}

TEST(JsonEncoderTest, InvalidUtf8BecomesReplacementCharacters) {
  const std::string r = "\xef\xbf\xbd";
  EXPECT_EQ(encodeString("\xff"), r);
  EXPECT_EQ(encodeString("a\xc3"), "a" + r);                   // cut short at the end
  EXPECT_EQ(encodeString("\xe2\x82x"), r + "x");               // cut short: one replacement
  EXPECT_EQ(encodeString("\xc0\xaf"), r + r);                  // overlong
  EXPECT_EQ(encodeString("\xe0\x80\x80"), r + r + r);          // overlong three-byte form
  EXPECT_EQ(encodeString("\xed\xa0\x80"), r + r + r);          // surrogate
  EXPECT_EQ(encodeString("\xf4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
  EXPECT_EQ(encodeString("\xf0\x9f\x98"), r);                  // four-byte form cut short
  EXPECT_EQ(encodeString("\x80\xbf"), r + r);                  // lone continuations
  EXPECT_EQ(encodeString("ok \xc3\xa9 \xfe ok\n"), "ok \xc3\xa9 " + r + " ok\\n");
  EXPECT_EQ(encodeString("12345678\xff"
                         "12345678"),
            "12345678" + r + "12345678");

  TestStream stream;
  Document document(stream, kFormatCompact);
  Object root = document.asObject();
  root.addStringView("key\xff", "v");
  root.close();
  document.close();
  EXPECT_EQ(stream.text(), "{\"key" + r + "\":\"v\"}");
}

// ---- round trip through the decoder

TEST(JsonEncoderTest, RandomTextsRoundTripThroughTheDecoder) {
  std::mt19937 random(31337);
  for (int i = 0; i < 2000; ++i) {
    std::string key(random() % 20, '\0');
    std::string value(random() % 200, '\0');
    for (char& c : key) c = static_cast<char>(random() % 128);
    for (char& c : value) c = static_cast<char>(random() % 128);
    if (i % 2 == 0) value += "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
    TestStream stream(1 + random() % 7);
    Document document(stream, i % 3 == 0 ? kFormatPretty : kFormatCompact);
    Object root = document.asObject();
    root.addStringView(key, value);
    root.addPreformattedNumber("n", std::to_string(i));
    root.close();
    document.close();

    const decoder::Object decoded = decoder::Document::parse(stream.text()).root().asObject();
    ASSERT_EQ(decoded.size(), 2u);
    ASSERT_EQ((*decoded.begin()).name(), key);
    ASSERT_EQ((*decoded.begin()).value().asString().view(), value);
    ASSERT_EQ(decoded.find("n")->asInt64(), i);
  }
}

TEST(JsonEncoderTest, RandomBytesAlwaysGiveValidJson) {
  std::mt19937 random(2718);
  for (int i = 0; i < 2000; ++i) {
    std::string value(random() % 64, '\0');
    for (char& c : value) c = static_cast<char>(random());
    TestStream stream;
    Document document(stream, kFormatCompact);
    Array root = document.asArray();
    root.addStringView(value);
    root.close();
    document.close();
    // The decoder validates UTF-8, so a parse proves the output is valid JSON text.
    const std::string decoded(
        decoder::Document::parse(stream.text()).root().asArray().at(0).asString().view());
    ASSERT_LE(decoded.size(), value.size() * 3);
  }
}

// ---- preformatted numbers

TEST(JsonEncoderTest, PreformattedNumbersAreWrittenRaw) {
  TestStream stream;
  Document document(stream, kFormatCompact);
  Array array = document.asArray();
  for (const char* number :
       {"0", "-0", "12", "-0.5", "1e9", "1E+9", "2.5e-07", "18446744073709551615", "0.0e0"}) {
    array.addPreformattedNumber(number);
  }
  array.close();
  document.close();
  EXPECT_EQ(stream.text(), "[0,-0,12,-0.5,1e9,1E+9,2.5e-07,18446744073709551615,0.0e0]");
}

TEST(JsonEncoderTest, InvalidNumberTextsAreRefusedAndWriteNothing) {
  TestStream stream;
  Document document(stream, kFormatCompact);
  Object root = document.asObject();
  root.addPreformattedNumber("first", "1");
  for (const std::string_view bad :
       {std::string_view(""), std::string_view("-"), std::string_view("01"), std::string_view("+1"),
        std::string_view("1."), std::string_view(".5"), std::string_view("1e"), std::string_view("1e+"),
        std::string_view("0x10"), std::string_view("NaN"), std::string_view("inf"), std::string_view(" 1"),
        std::string_view("1 "), std::string_view("1,5"), std::string_view("--1"), std::string_view("1e5.0"),
        std::string_view("\"1\"")}) {
    try {
      root.addPreformattedNumber("bad", bad);
      ADD_FAILURE() << "accepted \"" << std::string(bad) << "\"";
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()), "JSON number expected, got \"" + std::string(bad) + "\"");
    }
  }
  // Unprintable bytes are shown as escapes, long texts cut.
  try {
    root.addPreformattedNumber("bad", std::string_view("1\0\n\\", 4));
    ADD_FAILURE() << "accepted a NUL";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), R"(JSON number expected, got "1\x00\x0a\x5c")");
  }
  try {
    root.addPreformattedNumber("bad", std::string(100, '9') + "x");
    ADD_FAILURE() << "accepted a long garbage text";
  } catch (const std::invalid_argument& error) {
    EXPECT_EQ(std::string(error.what()), "JSON number expected, got \"" + std::string(64, '9') + "...\"");
  }
  root.addPreformattedNumber("last", "2");
  root.close();
  document.close();
  EXPECT_EQ(stream.text(), R"({"first":1,"last":2})");
}

// ---- misuse

TEST(JsonEncoderTest, AddingToAContainerWithAnOpenChildIsRefused) {
  TestStream stream;
  Document document(stream, kFormatCompact);
  Object root = document.asObject();
  Array list = root.addArray("list");
  EXPECT_EQ(logicErrorOf([&] { root.addStringView("k", "v"); }),
            "JSON container used while a container inside it is still open");
  EXPECT_EQ(logicErrorOf([&] { root.close(); }),
            "JSON container used while a container inside it is still open");
  // Refused calls wrote nothing: the document goes on as if they never happened.
  list.addStringView("x");
  list.close();
  root.addStringView("k", "v");
  root.close();
  document.close();
  EXPECT_EQ(stream.text(), R"({"list":["x"],"k":"v"})");
}

TEST(JsonEncoderTest, AddingAfterCloseIsRefusedEvenWhenASiblingTookItsPlace) {
  TestStream stream;
  Document document(stream, kFormatCompact);
  Array root = document.asArray();
  Object first = root.addObject();
  first.close();
  EXPECT_EQ(logicErrorOf([&] { first.addStringView("k", "v"); }), "JSON container used after it was closed");
  EXPECT_EQ(logicErrorOf([&] { first.close(); }), "JSON container used after it was closed");
  Object second = root.addObject();  // same depth as the closed one
  EXPECT_EQ(logicErrorOf([&] { first.addNull("k"); }), "JSON container used after it was closed");
  second.addNull("k");
  second.close();
  root.close();
  EXPECT_EQ(logicErrorOf([&] { root.addNull(); }), "JSON container used after it was closed");
  document.close();
  EXPECT_EQ(stream.text(), R"([{},{"k":null}])");
}

TEST(JsonEncoderTest, DocumentMisuseIsRefused) {
  TestStream stream;
  Document document(stream, kFormatCompact);
  EXPECT_EQ(logicErrorOf([&] { document.close(); }), "JSON document closed without a root value");
  Object root = document.asObject();
  EXPECT_EQ(logicErrorOf([&] { document.asObject(); }), "JSON document already has a root value");
  EXPECT_EQ(logicErrorOf([&] { document.asArray(); }), "JSON document already has a root value");
  Object child = root.addObject("child");
  EXPECT_EQ(logicErrorOf([&] { document.close(); }), "JSON document closed while a container is still open");
  child.close();
  EXPECT_EQ(logicErrorOf([&] { document.close(); }), "JSON document closed while a container is still open");
  root.close();
  document.close();
  EXPECT_EQ(logicErrorOf([&] { document.close(); }), "JSON document is already closed");
  EXPECT_EQ(logicErrorOf([&] { document.asArray(); }), "JSON document is already closed");
  EXPECT_EQ(logicErrorOf([&] { root.addNull("late"); }), "JSON document is already closed");
  EXPECT_EQ(stream.text(), R"({"child":{}})");
}

TEST(JsonEncoderTest, UnknownFormatIsRefused) {
  TestStream stream;
  EXPECT_THROW(Document(stream, 2), std::invalid_argument);
  EXPECT_THROW(Document(stream, -1), std::invalid_argument);
}

TEST(JsonEncoderTest, FailingStreamLeavesTheDocumentUnusable) {
  TestStream stream(4, 8);
  Document document(stream, kFormatCompact);
  Array root = document.asArray();
  EXPECT_THROW(root.addStringView("longer than eight bytes"), std::length_error);
  EXPECT_EQ(logicErrorOf([&] { root.addNull(); }), "JSON document is unusable after a failed write");
  EXPECT_EQ(logicErrorOf([&] { document.close(); }), "JSON document is unusable after a failed write");
}

TEST(JsonEncoderTest, DocumentLeftOpenDoesNotDisturbTheNext) {
  {
    TestStream stream;
    Document abandoned(stream, kFormatCompact);
    abandoned.asObject().addArray("open").addObject();
  }
  {
    TestStream stream(4, 8);
    Document failed(stream, kFormatPretty);
    EXPECT_THROW(failed.asArray().addStringView("much too long for the stream"), std::length_error);
  }
  TestStream stream;
  Document document(stream, kFormatCompact);
  Object root = document.asObject();
  root.addStringView("k", "v");
  root.close();
  document.close();
  EXPECT_EQ(stream.text(), R"({"k":"v"})");
}

// ---- streams and documents

TEST(JsonEncoderTest, TinyWindowGivesTheSameText) {
  const auto encode = [](TestStream& stream, int format) {
    Document document(stream, format);
    Array root = document.asArray();
    for (int i = 0; i < 100; ++i) {
      Object entry = root.addObject();
      entry.addStringView("name", ".member" + std::to_string(i));
      entry.addPreformattedNumber("size", std::to_string(i * 8));
      entry.addStringView("long", std::string(300 + i, 'a' + i % 26));
      entry.close();
    }
    root.close();
    document.close();
  };
  for (const int format : {kFormatCompact, kFormatPretty}) {
    TestStream wide(1 << 20);
    encode(wide, format);
    for (const std::size_t window : {1, 2, 3, 15}) {
      TestStream narrow(window);
      encode(narrow, format);
      EXPECT_EQ(narrow.text(), wide.text()) << window;
      // Both ways into the stream were taken: short pieces through the window, the long
      // strings directly.
      EXPECT_GT(narrow.refills(), 100) << window;
      EXPECT_GT(narrow.directWrites(), 0) << window;
    }
  }
}

TEST(JsonEncoderTest, ManyDocumentsInARowAreIndependent) {
  for (int i = 0; i < 10000; ++i) {
    TestStream stream(16);
    Document document(stream, i % 2 == 0 ? kFormatCompact : kFormatPretty);
    if (i % 3 == 0) {
      Array root = document.asArray();
      root.addPreformattedNumber(std::to_string(i));
      root.close();
      document.close();
      ASSERT_EQ(stream.text(),
                (i % 2 == 0 ? "[" : "[\n    ") + std::to_string(i) + (i % 2 == 0 ? "]" : "\n]"));
    } else {
      Object root = document.asObject();
      root.addStringView("i", std::to_string(i));
      root.close();
      document.close();
      ASSERT_EQ(stream.text(), (i % 2 == 0 ? "{\"i\":\"" : "{\n    \"i\": \"") + std::to_string(i) +
                                   (i % 2 == 0 ? "\"}" : "\"\n}"));
    }
  }
}

TEST(JsonEncoderTest, InterleavedDocumentsOnOneThread) {
  TestStream outerStream;
  Document outer(outerStream, kFormatCompact);
  Object outerRoot = outer.asObject();
  outerRoot.addStringView("a", "1");
  {
    TestStream innerStream;
    Document inner(innerStream, kFormatPretty);
    Array innerRoot = inner.asArray();
    innerRoot.addStringView("x");
    outerRoot.addStringView("b", "2");
    innerRoot.close();
    inner.close();
    EXPECT_EQ(innerStream.text(), "[\n    \"x\"\n]");
  }
  TestStream thirdStream;
  Document third(thirdStream, kFormatCompact);
  third.asArray().close();
  third.close();
  outerRoot.close();
  outer.close();
  EXPECT_EQ(outerStream.text(), R"({"a":"1","b":"2"})");
  EXPECT_EQ(thirdStream.text(), "[]");
}

TEST(JsonEncoderTest, DocumentsOnManyThreads) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 2000; ++i) {
        TestStream stream(8);
        Document document(stream, kFormatCompact);
        Object root = document.asObject();
        root.addPreformattedNumber("t", std::to_string(t));
        root.addPreformattedNumber("i", std::to_string(i));
        root.close();
        document.close();
        if (stream.text() != "{\"t\":" + std::to_string(t) + ",\"i\":" + std::to_string(i) + "}")
          ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(JsonEncoderTest, DeepNesting) {
  constexpr int kDepth = 10000;
  TestStream stream;
  Document document(stream, kFormatCompact);
  std::vector<Array> open{document.asArray()};
  for (int i = 1; i < kDepth; ++i) open.push_back(open.back().addArray());
  EXPECT_EQ(logicErrorOf([&] { open.front().addNull(); }),
            "JSON container used while a container inside it is still open");
  while (!open.empty()) {
    open.back().close();
    open.pop_back();
  }
  document.close();
  EXPECT_EQ(stream.text(), std::string(kDepth, '[') + std::string(kDepth, ']'));
}

}  // namespace
