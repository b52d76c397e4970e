#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "ormanta/utils/json/Decoder.h"

namespace ormanta::utils::json::decoder {

namespace detail {

// The parsed tree. Strings are copied into the tree's pool, so the text need not outlive the
// parse; the pool allocator never frees single values, so destroying a deep tree does not
// recurse.
struct DocumentState {
  rapidjson::Document dom;
};

}  // namespace detail

namespace {

// Strict RFC 8259: no comments, trailing commas, NaN or Infinity. Iterative, so deep nesting
// costs heap rather than stack. Numbers come as their text and are converted by NumberReader.
constexpr unsigned kParseFlags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag |
                                 rapidjson::kParseNumbersAsStringsFlag;

// Input stream over the whole text. rapidjson treats '\0' as the end of input, so a NUL byte
// inside the text is handed over as another control character, which JSON allows nowhere
// unescaped; the parse then fails at its offset instead of stopping early.
class TextStream {
 public:
  using Ch = char;

  explicit TextStream(std::string_view text) noexcept : text_(text) {}

  Ch Peek() const noexcept { return position_ < text_.size() ? mapped(text_[position_]) : '\0'; }
  Ch Take() noexcept { return position_ < text_.size() ? mapped(text_[position_++]) : '\0'; }
  std::size_t Tell() const noexcept { return position_; }

  // Only needed for in-situ parsing, which is not used.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }

 private:
  static Ch mapped(Ch c) noexcept { return c == '\0' ? '\x01' : c; }

  std::string_view text_;
  std::size_t position_ = 0;
};

// Builds the tree as rapidjson's document does, but converts numbers with std::from_chars:
// exactly, and safely. rapidjson 1.1.0's own full-precision conversion reads far outside its
// table of powers of ten for a long number with a large negative exponent (found by fuzzing:
// "3333...3.7333...e-888" crashed the parse), and its fast conversion may be a few units off.
class NumberReader {
 public:
  explicit NumberReader(rapidjson::Document& dom) noexcept : dom_(dom) {}

  bool Null() { return dom_.Null(); }
  bool Bool(bool b) { return dom_.Bool(b); }
  bool Int(int i) { return dom_.Int(i); }
  bool Uint(unsigned i) { return dom_.Uint(i); }
  bool Int64(std::int64_t i) { return dom_.Int64(i); }
  bool Uint64(std::uint64_t i) { return dom_.Uint64(i); }
  bool Double(double d) { return dom_.Double(d); }
  bool String(const char* text, rapidjson::SizeType length, bool copy) {
    return dom_.String(text, length, copy);
  }
  bool Key(const char* text, rapidjson::SizeType length, bool copy) { return dom_.Key(text, length, copy); }
  bool StartObject() { return dom_.StartObject(); }
  bool EndObject(rapidjson::SizeType members) { return dom_.EndObject(members); }
  bool StartArray() { return dom_.StartArray(); }
  bool EndArray(rapidjson::SizeType elements) { return dom_.EndArray(elements); }

  // The reader has checked the text's JSON number grammar.
  bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
    const char* const end = text + length;
    const bool integral = std::none_of(text, end, [](char c) { return c == '.' || c == 'e' || c == 'E'; });
    if (integral && *text == '-') {
      std::int64_t value = 0;
      if (std::from_chars(text, end, value).ec == std::errc()) return dom_.Int64(value);
    } else if (integral) {
      std::uint64_t value = 0;
      if (std::from_chars(text, end, value).ec == std::errc()) return dom_.Uint64(value);
    }
    // Integers beyond 64 bits are kept as doubles, as rapidjson does.
    double value = 0.0;
    if (std::from_chars(text, end, value).ec == std::errc::result_out_of_range) {
      if (!belowOne(text, end)) {
        numberTooBig_ = true;
        return false;
      }
      value = *text == '-' ? -0.0 : 0.0;  // too small for a double
    }
    return dom_.Double(value);
  }

  bool numberTooBig() const noexcept { return numberTooBig_; }

 private:
  // Whether the number's magnitude is below 1: the power of ten of its first non-zero digit,
  // with the exponent applied, is negative (zero counts as below).
  static bool belowOne(const char* text, const char* end) {
    const char* const exponent = std::find_if(text, end, [](char c) { return c == 'e' || c == 'E'; });
    const char* const point = std::find(text, exponent, '.');
    const char* const first = std::find_if(text, exponent, [](char c) { return c >= '1' && c <= '9'; });
    if (first == exponent) return true;
    long long position = first < point ? (point - first) - 1 : -(first - point);
    if (exponent != end) {
      const char* digit = exponent + 1;
      const bool negative = *digit == '-';
      if (*digit == '-' || *digit == '+') ++digit;
      long long value = 0;
      // Beyond this the exponent decides alone.
      for (; digit != end && value < 1'000'000'000; ++digit) value = value * 10 + (*digit - '0');
      position += negative ? -value : value;
    }
    return position < 0;
  }

  rapidjson::Document& dom_;
  bool numberTooBig_ = false;
};

const rapidjson::Value& nodeOf(const void* node) noexcept {
  return *static_cast<const rapidjson::Value*>(node);
}

const char* kindPhrase(Kind kind) noexcept {
  switch (kind) {
    case Kind::kNull:
      return "null";
    case Kind::kBool:
      return "a boolean";
    case Kind::kNumber:
      return "a number";
    case Kind::kString:
      return "a string";
    case Kind::kArray:
      return "an array";
    case Kind::kObject:
      return "an object";
  }
  return "an unknown value";
}

bool isIdentifier(std::string_view name) noexcept {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !(digit && i > 0)) return false;
  }
  return true;
}

void appendQuoted(std::string& out, std::string_view text) {
  constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0f];
    } else {
      out += c;
    }
  }
  out += '"';
}

// "$.name" for plain names; anything else in brackets as a JSON string: $["a.b"], $[""].
std::string memberPath(const std::string& parent, std::string_view name) {
  std::string path;
  path.reserve(parent.size() + name.size() + 5);
  path += parent;
  if (isIdentifier(name)) {
    path += '.';
    path += name;
  } else {
    path += '[';
    appendQuoted(path, name);
    path += ']';
  }
  return path;
}

std::string elementPath(const std::string& parent, std::size_t index) {
  return parent + '[' + std::to_string(index) + ']';
}

std::string_view nameOf(const rapidjson::Value& name) noexcept {
  return {name.GetString(), name.GetStringLength()};
}

[[noreturn]] void throwNotInteger(const std::string& path) {
  throw std::invalid_argument("JSON value at " + path + " is not a whole number");
}

[[noreturn]] void throwOutOfRange(const std::string& path, const char* type) {
  throw std::invalid_argument("JSON value at " + path + " is out of the range of " + type);
}

}  // namespace

// ---- Value

Kind Value::kind() const noexcept {
  switch (nodeOf(node_).GetType()) {
    case rapidjson::kNullType:
      return Kind::kNull;
    case rapidjson::kFalseType:
    case rapidjson::kTrueType:
      return Kind::kBool;
    case rapidjson::kNumberType:
      return Kind::kNumber;
    case rapidjson::kStringType:
      return Kind::kString;
    case rapidjson::kArrayType:
      return Kind::kArray;
    case rapidjson::kObjectType:
      return Kind::kObject;
  }
  return Kind::kNull;
}

void Value::throwKind(const char* expected) const {
  throw std::invalid_argument("JSON value at " + path_ + " is " + kindPhrase(kind()) + ", expected " +
                              expected);
}

String Value::asString() const {
  const rapidjson::Value& node = nodeOf(node_);
  if (!node.IsString()) throwKind("a string");
  // The length comes from the tree, so escaped NUL characters stay part of the text.
  return String(document_, node.GetString(), node.GetStringLength());
}

Object Value::asObject() const {
  if (!nodeOf(node_).IsObject()) throwKind("an object");
  return Object(document_, node_, path_);
}

Array Value::asArray() const {
  if (!nodeOf(node_).IsArray()) throwKind("an array");
  return Array(document_, node_, path_);
}

bool Value::asBool() const {
  const rapidjson::Value& node = nodeOf(node_);
  if (!node.IsBool()) throwKind("a boolean");
  return node.GetBool();
}

double Value::asDouble() const {
  const rapidjson::Value& node = nodeOf(node_);
  if (!node.IsNumber()) throwKind("a number");
  return node.GetDouble();
}

std::int64_t Value::asInt64() const {
  const rapidjson::Value& node = nodeOf(node_);
  if (!node.IsNumber()) throwKind("a number");
  if (node.IsInt64()) return node.GetInt64();
  if (node.IsUint64()) throwOutOfRange(path_, "a signed 64-bit integer");
  // Written with a fraction or an exponent ("3.0", "1e3"): whole values in range are accepted.
  const double value = node.GetDouble();
  if (std::trunc(value) != value) throwNotInteger(path_);
  // -2^63 itself is refused: a text a little below INT64_MIN rounds to it as a double.
  if (value <= -0x1p63 || value >= 0x1p63) throwOutOfRange(path_, "a signed 64-bit integer");
  return static_cast<std::int64_t>(value);
}

std::uint64_t Value::asUInt64() const {
  const rapidjson::Value& node = nodeOf(node_);
  if (!node.IsNumber()) throwKind("a number");
  if (node.IsUint64()) return node.GetUint64();
  if (node.IsInt64()) throwOutOfRange(path_, "an unsigned 64-bit integer");  // negative
  const double value = node.GetDouble();
  if (std::trunc(value) != value) throwNotInteger(path_);
  if (value < 0.0 || value >= 0x1p64) throwOutOfRange(path_, "an unsigned 64-bit integer");
  return static_cast<std::uint64_t>(value);
}

// ---- Object

Member Object::Cursor::operator*() const { return object_->memberAt(index_); }

std::size_t Object::size() const noexcept { return nodeOf(node_).MemberCount(); }

Member Object::memberAt(std::size_t index) const {
  const auto& member = *(nodeOf(node_).MemberBegin() + static_cast<std::ptrdiff_t>(index));
  const std::string_view name = nameOf(member.name);
  return Member(name, Value(document_, &member.value, memberPath(path_, name)));
}

std::optional<Value> Object::find(std::string_view name) const {
  const rapidjson::Value& node = nodeOf(node_);
  for (auto member = node.MemberEnd(); member != node.MemberBegin();) {
    --member;
    if (nameOf(member->name) == name) return Value(document_, &member->value, memberPath(path_, name));
  }
  return std::nullopt;
}

// ---- Array

std::size_t Array::size() const noexcept { return nodeOf(node_).Size(); }

Value Array::at(std::size_t index) const {
  const rapidjson::Value& node = nodeOf(node_);
  if (index >= node.Size()) {
    throw std::out_of_range("JSON array at " + path_ + " has " + std::to_string(node.Size()) +
                            " entries, no entry " + std::to_string(index));
  }
  return Value(document_, &node[static_cast<rapidjson::SizeType>(index)], elementPath(path_, index));
}

// ---- Document

Document Document::parse(std::string_view text) {
  auto state = std::make_shared<detail::DocumentState>();
  TextStream stream(text);
  rapidjson::ParseResult result;
  bool numberTooBig = false;
  auto parse = [&](rapidjson::Document& dom) {
    NumberReader handler(dom);
    rapidjson::Reader reader;
    result = reader.Parse<kParseFlags>(stream, handler);
    numberTooBig = handler.numberTooBig();
    return !result.IsError();
  };
  state->dom.Populate(parse);
  if (result.IsError()) {
    const std::size_t offset = result.Offset();
    const rapidjson::ParseErrorCode code = numberTooBig ? rapidjson::kParseErrorNumberTooBig : result.Code();
    throw ParseError(
        "invalid JSON at offset " + std::to_string(offset) + ": " + rapidjson::GetParseError_En(code),
        offset);
  }
  return Document(std::move(state));
}

Value Document::root() const {
  const rapidjson::Value* root = &state_->dom;
  return Value(state_, root, "$");
}

}  // namespace ormanta::utils::json::decoder
