#include "peer/MemberValues.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace ormanta::peer {
namespace {

std::string lower(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}

template <class Number>
std::optional<Number> wholeNumber(std::string_view text) {
  Number number{};
  const char* end = text.data() + text.size();
  auto [next, error] = std::from_chars(text.data(), end, number);
  if (text.empty() || error != std::errc() || next != end) return std::nullopt;
  return number;
}

// A decimal integer as the service takes it: digits, with a '-' only for signed members.
bool integerFits(std::string_view text, bool isSigned, std::uint64_t bits) {
  if (bits == 0 || bits > 64) bits = 64;
  if (isSigned) {
    const std::optional<std::int64_t> value = wholeNumber<std::int64_t>(text);
    if (!value) return false;
    if (bits == 64) return true;
    const std::int64_t limit = std::int64_t{1} << (bits - 1);
    return *value >= -limit && *value < limit;
  }
  const std::optional<std::uint64_t> value = wholeNumber<std::uint64_t>(text);
  return value && (bits == 64 || *value < (std::uint64_t{1} << bits));
}

// The service refuses a '+' and blanks; from_chars takes neither, and wants the whole text.
bool isReal(std::string_view text) {
  const std::string folded = lower(text);
  if (folded == "inf" || folded == "-inf" || folded == "nan" || folded == "-nan") return true;
  if (folded.find_first_of("in") != std::string::npos) return false;  // "infinity", "nan(...)"
  return wholeNumber<double>(text).has_value();
}

// The length of the valid UTF-8 sequence at text[i], 0 when there is none.
std::size_t utf8Length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = lead < 0x80                   ? 1
                       : lead >= 0xC2 && lead < 0xE0 ? 2
                       : lead >= 0xE0 && lead < 0xF0 ? 3
                       : lead >= 0xF0 && lead < 0xF5 ? 4
                                                     : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  // Overlong forms, surrogates and code points above U+10FFFF.
  if (length == 3 && ((lead == 0xE0 && byte(i + 1) < 0xA0) || (lead == 0xED && byte(i + 1) >= 0xA0)))
    return 0;
  if (length == 4 && ((lead == 0xF0 && byte(i + 1) < 0x90) || (lead == 0xF4 && byte(i + 1) >= 0x90)))
    return 0;
  return length;
}

}  // namespace

std::string jsonString(std::string_view text) {
  std::string quoted = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const std::size_t length = utf8Length(text, i);
    if (length == 0) {
      quoted += "\\ufffd";
      ++i;
      continue;
    }
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      quoted += escape;
    } else {
      quoted.append(text.substr(i, length));
    }
    i += length;
  }
  return quoted + '"';
}

std::string jsonValue(std::string_view type, std::string_view text) {
  if (type == "Bool" && (text == "true" || text == "false")) return std::string(text);
  if ((type == "Int" && wholeNumber<std::int64_t>(text)) ||
      (type == "UInt" && wholeNumber<std::uint64_t>(text)))
    return std::string(text);
  if (type == "Real") {
    // JSON has no NaN or infinity; a JSON number may not start with '.' or carry leading zeros.
    if (const std::optional<double> value = wholeNumber<double>(text); value && std::isfinite(*value)) {
      char buffer[32];
      const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, *value);
      if (error == std::errc()) return std::string(buffer, end);
    }
  }
  return jsonString(text);
}

std::optional<std::string> checkedSetValue(const MemberInfo& member, std::string_view text,
                                           std::string& problem) {
  const std::string quoted = jsonString(text);
  if (member.type == "Bool") {
    const std::string folded = lower(text);
    if (folded == "true" || folded == "1") return "true";
    if (folded == "false" || folded == "0") return "false";
    problem = quoted + " is not a Bool (accepted: true, false, 1, 0; any case)";
    return std::nullopt;
  }
  if (member.type == "Int" || member.type == "UInt") {
    const bool isSigned = member.type == "Int";
    if (integerFits(text, isSigned, member.size)) return std::string(text);
    problem = quoted + " is not " + (isSigned ? "an Int" : "a UInt") + " of " + std::to_string(member.size) +
              " bits (accepted: decimal digits" + (isSigned ? ", a leading '-'" : "") +
              "; no '+', point or blanks)";
    return std::nullopt;
  }
  if (member.type == "Real") {
    if (isReal(text)) return std::string(text);
    problem = quoted +
              " is not a Real (accepted: a decimal number such as 82, 82.5, -0.25 or 8.25e1, inf, "
              "nan; a point, not a comma; no '+' or blanks)";
    return std::nullopt;
  }
  return std::string(text);
}

}  // namespace ormanta::peer
