#include <gtest/gtest.h>

#include <set>
#include <string>

#include "ormanta/utils/core/Uuid.h"

namespace {

using ormanta::utils::core::Uuid;

constexpr Uuid::Bytes kSampleBytes = {0x59, 0x5e, 0x1e, 0xe2, 0x95, 0xca, 0x4c, 0xe0,
                                      0x88, 0x3f, 0x53, 0x58, 0x93, 0xcb, 0x4b, 0x7c};
const std::string kSample = "595e1ee2-95ca-4ce0-883f-535893cb4b7c";

template <class... Texts>
void expectUnparsable(const Texts&... texts) {
  for (const std::string_view text : {std::string_view(texts)...}) {
    const auto parsed = Uuid::fromStringInternal(text);
    EXPECT_FALSE(parsed.hasValue()) << "accepted \"" << text << "\"";
    EXPECT_EQ(parsed.error(), std::make_error_code(std::errc::invalid_argument)) << text;
  }
}

TEST(UuidTest, TextIsThirtySixLowerCaseCharactersAndParsesBack) {
  EXPECT_EQ(Uuid::fromRawData(kSampleBytes).toString(), kSample);
  EXPECT_EQ(Uuid().toString(), "00000000-0000-0000-0000-000000000000");
  const std::uint8_t raw[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0xfd, 0xfe, 0xff};
  EXPECT_EQ(Uuid::fromRawData(raw).toString(), "00010203-0405-0607-0809-0a0b0cfdfeff");
  for (const char* text :
       {"595E1EE2-95CA-4CE0-883F-535893CB4B7C", "{595e1EE2-95Ca-4cE0-883F-535893cb4B7c}"}) {
    const auto parsed = Uuid::fromStringInternal(text);
    EXPECT_TRUE(parsed.hasValue() && *parsed == Uuid::fromRawData(kSampleBytes)) << text;
  }
}

TEST(UuidTest, UnparsableTextGivesAnErrorCode) {
  expectUnparsable("", "{}", kSample + "0", " " + kSample, kSample + " ", "{" + kSample, kSample + "}",
                   "(" + kSample + ")", "595e1ee295ca4ce0883f535893cb4b7c",
                   "595e1ee2-95ca4-ce0-883f-535893cb4b7c", "0x5e1ee2-95ca-4ce0-883f-535893cb4b7c",
                   std::string("595e1ee2-95ca-4ce0-\0\0\0f-535893cb4b7c", 36),
                   std::string_view(kSample.data(), 35) /* the text goes on past the view */);
  for (std::size_t i = 0; i < kSample.size(); ++i) {  // every position: a wrong digit or a wrong hyphen
    std::string text = kSample;
    text[i] = text[i] == '-' ? '0' : (i % 2 ? 'g' : '-');
    expectUnparsable(text);
  }
}

TEST(UuidTest, RandomUuidsAreDistinctVersionFourWithTheStandardVariant) {
  std::set<Uuid> seen;
  for (int i = 0; i < 2000; ++i) {
    const Uuid uuid = Uuid::generateRandom();
    EXPECT_TRUE(uuid.bytes()[6] >> 4 == 4 && uuid.bytes()[8] >> 6 == 2) << uuid.toString();
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 2000u);
}

}  // namespace
