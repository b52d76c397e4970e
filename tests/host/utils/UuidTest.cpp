#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "ormanta/utils/core/Uuid.h"

namespace {

using ormanta::utils::core::Uuid;

constexpr Uuid::Bytes kSampleBytes = {0x59, 0x5e, 0x1e, 0xe2, 0x95, 0xca, 0x4c, 0xe0,
                                      0x88, 0x3f, 0x53, 0x58, 0x93, 0xcb, 0x4b, 0x7c};
constexpr const char* kSampleText = "595e1ee2-95ca-4ce0-883f-535893cb4b7c";

void expectInvalid(std::string_view text) {
  const auto parsed = Uuid::fromStringInternal(text);
  EXPECT_FALSE(parsed.hasValue()) << "accepted \"" << std::string(text) << "\"";
  EXPECT_EQ(parsed.error(), std::make_error_code(std::errc::invalid_argument));
}

TEST(UuidTest, TextFormIsLowerCaseWithHyphens) {
  const Uuid uuid = Uuid::fromRawData(kSampleBytes);
  EXPECT_EQ(uuid.toString(), kSampleText);
  EXPECT_EQ(Uuid().toString(), "00000000-0000-0000-0000-000000000000");
  Uuid::Bytes ones;
  ones.fill(0xff);
  EXPECT_EQ(Uuid::fromRawData(ones).toString(), "ffffffff-ffff-ffff-ffff-ffffffffffff");
}

TEST(UuidTest, ToCharsWritesExactlyThirtySixCharacters) {
  char buffer[40];
  std::memset(buffer, '#', sizeof buffer);
  Uuid::fromRawData(kSampleBytes).toChars(buffer + 1);
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(std::string(buffer + 1, 36), kSampleText);
  EXPECT_EQ(buffer[37], '#');
}

TEST(UuidTest, RawDataFromPointerKeepsTextOrder) {
  const std::uint8_t raw[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  const Uuid uuid = Uuid::fromRawData(raw);
  EXPECT_EQ(uuid.toString(), "00010203-0405-0607-0809-0a0b0c0d0e0f");
  EXPECT_EQ(uuid.bytes()[15], 15);
}

TEST(UuidTest, ParsesEitherCaseWithOrWithoutBraces) {
  const Uuid expected = Uuid::fromRawData(kSampleBytes);
  for (const char* text : {"595e1ee2-95ca-4ce0-883f-535893cb4b7c", "595E1EE2-95CA-4CE0-883F-535893CB4B7C",
                           "595e1EE2-95Ca-4cE0-883F-535893cb4B7c", "{595e1ee2-95ca-4ce0-883f-535893cb4b7c}",
                           "{595E1EE2-95CA-4CE0-883F-535893CB4B7C}"}) {
    const auto parsed = Uuid::fromStringInternal(text);
    ASSERT_TRUE(parsed.hasValue()) << text;
    EXPECT_EQ(*parsed, expected) << text;
  }
}

TEST(UuidTest, RefusesMalformedTexts) {
  expectInvalid("");
  expectInvalid("595e1ee2-95ca-4ce0-883f-535893cb4b7");     // 35
  expectInvalid("595e1ee2-95ca-4ce0-883f-535893cb4b7c0");   // 37
  expectInvalid("595e1ee295ca4ce0883f535893cb4b7c");        // no hyphens
  expectInvalid("595e1ee2-95ca4-ce0-883f-535893cb4b7c");    // hyphen moved
  expectInvalid("595e1ee2_95ca_4ce0_883f_535893cb4b7c");    // other separator
  expectInvalid("595e1ee2-95ca-4ce0-883f-535893cb4b7g");    // not hex
  expectInvalid("595e1ee2-95ca-4ce0-883f-535893cb4b7-");    // hyphen as digit
  expectInvalid(" 595e1ee2-95ca-4ce0-883f-535893cb4b7c");   // leading blank
  expectInvalid("595e1ee2-95ca-4ce0-883f-535893cb4b7c ");   // trailing blank
  expectInvalid("{595e1ee2-95ca-4ce0-883f-535893cb4b7c");   // open brace only
  expectInvalid("595e1ee2-95ca-4ce0-883f-535893cb4b7c}");   // close brace only
  expectInvalid("(595e1ee2-95ca-4ce0-883f-535893cb4b7c)");  // other brackets
  expectInvalid("}595e1ee2-95ca-4ce0-883f-535893cb4b7c{");
  expectInvalid("{{95e1ee2-95ca-4ce0-883f-535893cb4b7c}}");
  expectInvalid("{}");
  expectInvalid(std::string_view("595e1ee2-95ca-4ce0-883f-535893cb4b7\0", 36));  // embedded NUL
  expectInvalid(std::string_view("595e1ee2-95ca-4ce0-\0\0\0f-535893cb4b7c", 36));
  expectInvalid("+95e1ee2-95ca-4ce0-883f-535893cb4b7c");
  expectInvalid("0x5e1ee2-95ca-4ce0-883f-535893cb4b7c");
}

TEST(UuidTest, ReadsOnlyTheGivenCharacters) {
  // The view ends before the text does: the parser must not look past it.
  const std::string longer = std::string(kSampleText) + "ff";
  expectInvalid(std::string_view(longer.data(), 35));
  const auto exact = Uuid::fromStringInternal(std::string_view(longer.data(), 36));
  ASSERT_TRUE(exact.hasValue());
  EXPECT_EQ(*exact, Uuid::fromRawData(kSampleBytes));
}

bool isUuidText(const std::string& text) {
  std::string_view body = text;
  if (body.size() == 38 && body.front() == '{' && body.back() == '}') body = body.substr(1, 36);
  if (body.size() != 36) return false;
  for (std::size_t i = 0; i < 36; ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? body[i] != '-' : !std::isxdigit(static_cast<unsigned char>(body[i]))) return false;
  }
  return true;
}

std::string lowerBody(std::string text) {
  if (text.size() == 38) text = text.substr(1, 36);
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

TEST(UuidTest, GarbageAndMutatedTextsNeverThrowAndParseOnlyWhenWellFormed) {
  std::mt19937 random(4242);
  constexpr char kAlphabet[] = "0123456789abcdefABCDEFgxz-{}\0 \xff";
  const std::string alphabet(kAlphabet, sizeof kAlphabet - 1);
  for (int i = 0; i < 50000; ++i) {
    std::string text;
    if (i % 2 == 0) {
      // A valid text with a few characters changed, inserted or removed.
      text = Uuid::generateRandom().toString();
      if (i % 8 == 0) text = "{" + text + "}";
      for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
        const std::size_t at = random() % (text.size() + 1);
        const char c = alphabet[random() % alphabet.size()];
        switch (random() % 3) {
          case 0:
            if (at < text.size()) text[at] = c;
            break;
          case 1:
            text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), c);
            break;
          default:
            if (at < text.size()) text.erase(at, 1);
        }
      }
    } else {
      text.resize(random() % 41);
      for (char& c : text) c = static_cast<char>(random());
    }
    const auto parsed = Uuid::fromStringInternal(text);
    ASSERT_EQ(parsed.hasValue(), isUuidText(text)) << text;
    if (parsed.hasValue()) {
      ASSERT_EQ(parsed->toString(), lowerBody(text));
    }
  }
}

TEST(UuidTest, RandomUuidsAreVersionFourWithTheStandardVariant) {
  std::set<Uuid> seen;
  for (int i = 0; i < 2000; ++i) {
    const Uuid uuid = Uuid::generateRandom();
    EXPECT_EQ(uuid.bytes()[6] >> 4, 4);
    EXPECT_EQ(uuid.bytes()[8] >> 6, 2);
    EXPECT_EQ(uuid.toString()[14], '4');
    EXPECT_FALSE(uuid.isNil());
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 2000u);
}

TEST(UuidTest, RandomUuidsFromManyThreadsAreDistinct) {
  constexpr int kThreads = 4;
  constexpr int kEach = 5000;
  std::vector<std::vector<Uuid>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&made, t] {
      for (int i = 0; i < kEach; ++i) made[t].push_back(Uuid::generateRandom());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<Uuid> all;
  for (const auto& list : made) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kEach));
}

TEST(UuidTest, NilIsOnlyTheAllZeroUuid) {
  EXPECT_TRUE(Uuid().isNil());
  EXPECT_TRUE(Uuid::fromStringInternal("00000000-0000-0000-0000-000000000000")->isNil());
  Uuid::Bytes lastBit{};
  lastBit[15] = 1;
  EXPECT_FALSE(Uuid::fromRawData(lastBit).isNil());
  Uuid::Bytes firstBit{};
  firstBit[0] = 0x80;
  EXPECT_FALSE(Uuid::fromRawData(firstBit).isNil());
}

TEST(UuidTest, HashAgreesWithEqualityAndSpreads) {
  const std::hash<Uuid> hash;
  const Uuid a = Uuid::fromRawData(kSampleBytes);
  const Uuid b = *Uuid::fromStringInternal("{595E1EE2-95CA-4CE0-883F-535893CB4B7C}");
  EXPECT_EQ(hash(a), hash(b));

  // UUIDs differing in a single byte, in either half, get different hashes.
  std::unordered_set<std::size_t> hashes;
  for (std::size_t byte = 0; byte < 16; ++byte) {
    for (int value = 1; value < 256; value += 17) {
      Uuid::Bytes bytes{};
      bytes[byte] = static_cast<std::uint8_t>(value);
      hashes.insert(hash(Uuid::fromRawData(bytes)));
    }
  }
  EXPECT_EQ(hashes.size(), 16u * 15u);

  std::unordered_set<Uuid> set;
  for (int i = 0; i < 1000; ++i) set.insert(Uuid::generateRandom());
  set.insert(a);
  EXPECT_EQ(set.count(b), 1u);
}

}  // namespace
