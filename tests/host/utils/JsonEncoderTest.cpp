#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "ormanta/utils/json/Encoder.h"
#include "support/Errors.h"

namespace {

using ormanta::utils::json::encoder::Array;
using ormanta::utils::json::encoder::Document;
using ormanta::utils::json::encoder::kFormatCompact;
using ormanta::utils::json::encoder::Object;
using tul::test::messageOf;
using namespace std::string_view_literals;

// Collects the text through a window of the given size (a tiny one makes every few bytes a
// refill); past limit bytes it fails like a stream that cannot grow any more.
class TestStream final : public ormanta::utils::io::OutputStream<char> {
 public:
  explicit TestStream(std::size_t window = 4096, std::size_t limit = std::string::npos)
      : window_(window), limit_(limit) {
    setWriteBuffer(window_.data(), window_.data() + window_.size());
  }
  std::string text() {
    flush();
    return committed_;
  }
  std::string deviceDescription() const override { return "test stream"; }

 protected:
  void refillWriteBuffer() override {
    flush();
    if (committed_.size() >= limit_) throw std::length_error("test stream is full");
  }
  std::size_t writeDirect(const char* data, std::size_t count) override {
    flush();
    committed_.append(data, count);
    return count;
  }

 private:
  void flush() {
    committed_.append(window_.data(), writePosition());
    setWriteBuffer(window_.data(), window_.data() + window_.size());
  }
  std::vector<char> window_;
  std::size_t limit_;
  std::string committed_;
};

// The compact text of an array that build fills.
template <class Build>
std::string encodeArray(Build build, std::size_t window = 4096) {
  TestStream stream(window);
  Document document(stream, kFormatCompact);
  Array root = document.asArray();
  build(root);
  root.close();
  document.close();
  return stream.text();
}

std::string encodeString(std::string_view value) {
  return encodeArray([&](Array& root) { root.addStringView(value); });
}

TEST(JsonEncoderTest, CompactOutputIsExact) {
  EXPECT_EQ(
      encodeArray([](Array& root) {
        Object record = root.addObject();
        record.addStringView("dataPointsKey", "A.DataPoints");
        record.addPreformattedNumber("size", "64");
        record.addBool("yes", true);
        record.addNull(std::string_view("k\"\n\0", 4));
        record.addArray("none").close();
        record.close();
        root.addBool(false);
        root.addNull();
        root.addObject().close();
      }),
      R"([{"dataPointsKey":"A.DataPoints","size":64,"yes":true,"k\"\n\u0000":null,"none":[]},false,null,{}])");
}

TEST(JsonEncoderTest, StringsAreEscapedAndAlwaysValidUtf8) {
  EXPECT_EQ(encodeString(R"(say "hi" C:\dir/)"), R"(["say \"hi\" C:\\dir/"])");
  std::string controls;
  for (char c = 0; c < 32; ++c) controls += c;
  EXPECT_EQ(
      encodeString(controls),
      R"(["\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000B\f\r\u000E\u000F)"
      R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001A\u001B\u001C\u001D\u001E\u001F"])");
  EXPECT_EQ(encodeString("Grüße 温 😀 \xf4\x8f\xbf\xbf"), "[\"Grüße 温 😀 \xf4\x8f\xbf\xbf\"]");
  // A sequence cut short gives one U+FFFD; an overlong form, a surrogate, a code point above
  // U+10FFFF and stray continuation bytes give one per byte.
  EXPECT_EQ(encodeString("\xff|\xe2\x82|\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80|\x80\xbf|a\xc3"),
            "[\"�|�|��|���|����|��|a�\"]");
}

TEST(JsonEncoderTest, TinyWindowGivesTheSameText) {
  const auto build = [](Array& root) {
    for (int i = 0; i < 20; ++i) {
      root.addStringView("\xc3\xa9\"\xff\x01" + std::to_string(i));
      root.addStringView(std::string(300 + i, 'a' + i));  // past the window: written directly
    }
  };
  const std::string wide = encodeArray(build, 1 << 20);
  for (const std::size_t window : {1, 2, 3, 15}) EXPECT_EQ(encodeArray(build, window), wide) << window;
}

TEST(JsonEncoderTest, BadPreformattedNumbersAreRefusedAndWriteNothing) {
  EXPECT_EQ(encodeArray([](Array& root) {
              for (const char* bad : {"", "01", "+1", "1.", ".5", "1e", "NaN", " 1", "1,5"}) {
                EXPECT_EQ(messageOf<std::invalid_argument>([&] { root.addPreformattedNumber(bad); }),
                          "JSON number expected, got \"" + std::string(bad) + "\"");
              }
              EXPECT_EQ(messageOf<std::invalid_argument>([&] { root.addPreformattedNumber("1\0\n\\"sv); }),
                        R"(JSON number expected, got "1\x00\x0a\x5c")");
              root.addPreformattedNumber("-0.5");
            }),
            "[-0.5]");
}

// Documents on one thread share a reused writer: a failed, abandoned or interleaved one must not
// disturb the others.
TEST(JsonEncoderTest, DocumentsStayIndependent) {
  {
    TestStream full(4, 8);
    Document failed(full, kFormatCompact);
    EXPECT_THROW(failed.asArray().addStringView("longer than eight bytes"), std::length_error);
    EXPECT_EQ(messageOf<std::logic_error>([&] { failed.close(); }),
              "JSON document is unusable after a failed write");
    TestStream other;
    Document abandoned(other, kFormatCompact);
    abandoned.asObject().addArray("open");
  }
  EXPECT_EQ(encodeArray([](Array& outer) {
              EXPECT_EQ(encodeString("inner"), R"(["inner"])");
              outer.addNull();
            }),
            "[null]");
}

}  // namespace
