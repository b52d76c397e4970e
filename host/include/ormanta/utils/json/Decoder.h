#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ormanta::utils::json::decoder {

namespace detail {
struct DocumentState;
}

// Thrown for text that is not JSON: "invalid JSON at offset <n>: <reason>".
class ParseError : public std::runtime_error {
 public:
  ParseError(const std::string& message, std::size_t offset) : std::runtime_error(message), offset_(offset) {}
  std::size_t offset() const noexcept { return offset_; }

 private:
  std::size_t offset_;
};

enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };

class Value;
class Object;
class Array;

// A string value, read character by character (or whole, through view()).
class String {
 public:
  using const_iterator = const char*;
  const char* begin() const noexcept { return data_; }
  const char* end() const noexcept { return data_ + size_; }
  std::size_t size() const noexcept { return size_; }
  std::string_view view() const noexcept { return {data_, size_}; }

  // Sequential reading: gives the next character and returns true, or false at the end.
  bool read(char& c) noexcept {
    if (next_ == size_) return false;
    c = data_[next_++];
    return true;
  }

 private:
  friend class Value;
  String(std::shared_ptr<const detail::DocumentState> document, const char* data, std::size_t size)
      : document_(std::move(document)), data_(data), size_(size) {}
  std::shared_ptr<const detail::DocumentState> document_;  // keeps the bytes alive
  const char* data_;
  std::size_t size_;
  std::size_t next_ = 0;
};

// Any JSON value. Values (and everything reached from them) keep their document alive.
// The typed accessors throw std::invalid_argument naming the value's path and both kinds,
// e.g. "JSON value at $.address is a number, expected a string".
class Value {
 public:
  Kind kind() const noexcept;
  // "$" for the root, "$.name" for members, "$.list[2]" for array entries; a name that is not
  // ASCII letters, digits and '_' (not starting with a digit) is written as a JSON string: $["a.b"].
  const std::string& path() const noexcept { return path_; }

  bool isNull() const noexcept { return kind() == Kind::kNull; }
  String asString() const;
  Object asObject() const;
  Array asArray() const;
  bool asBool() const;
  double asDouble() const;
  // A number written as an integer must fit the type. One written with a fraction or an
  // exponent ("3.0", "1e3") is read as a double and accepted when it is whole and inside the
  // type's range. Fractions and values out of range throw std::invalid_argument.
  std::int64_t asInt64() const;
  std::uint64_t asUInt64() const;

 private:
  friend class Document;
  friend class Object;
  friend class Array;
  Value(std::shared_ptr<const detail::DocumentState> document, const void* node, std::string path)
      : document_(std::move(document)), node_(node), path_(std::move(path)) {}
  [[noreturn]] void throwKind(const char* expected) const;

  std::shared_ptr<const detail::DocumentState> document_;
  const void* node_;
  std::string path_;
};

class Member {
 public:
  std::string_view name() const noexcept { return name_; }
  // On a temporary member (such as *cursor) the value is handed out by value, so that it
  // cannot dangle.
  const Value& value() const& noexcept { return value_; }
  Value value() && noexcept { return std::move(value_); }

 private:
  friend class Object;
  Member(std::string_view name, Value value) : name_(name), value_(std::move(value)) {}
  std::string_view name_;
  Value value_;
};

// An object's members, in the order of the text; a name given twice appears twice.
//   for (auto c = object.begin(); c != object.end(); object.step(c)) { Member m = *c; ... }
class Object {
 public:
  class Cursor {
   public:
    Member operator*() const;
    friend bool operator==(const Cursor& a, const Cursor& b) noexcept {
      return a.index_ == b.index_ && a.object_ == b.object_;
    }

   private:
    friend class Object;
    Cursor(const Object* object, std::size_t index) : object_(object), index_(index) {}
    const Object* object_;
    std::size_t index_;
  };

  Cursor begin() const noexcept { return Cursor(this, 0); }
  Cursor end() const noexcept { return Cursor(this, size()); }
  void step(Cursor& cursor) const noexcept { ++cursor.index_; }

  std::size_t size() const noexcept;
  // The value of the last member with this name, if any.
  std::optional<Value> find(std::string_view name) const;
  const std::string& path() const noexcept { return path_; }

 private:
  friend class Value;
  Object(std::shared_ptr<const detail::DocumentState> document, const void* node, std::string path)
      : document_(std::move(document)), node_(node), path_(std::move(path)) {}
  Member memberAt(std::size_t index) const;

  std::shared_ptr<const detail::DocumentState> document_;
  const void* node_;
  std::string path_;
};

class Array {
 public:
  std::size_t size() const noexcept;
  Value at(std::size_t index) const;  // throws std::out_of_range
  const std::string& path() const noexcept { return path_; }

 private:
  friend class Value;
  Array(std::shared_ptr<const detail::DocumentState> document, const void* node, std::string path)
      : document_(std::move(document)), node_(node), path_(std::move(path)) {}
  std::shared_ptr<const detail::DocumentState> document_;
  const void* node_;
  std::string path_;
};

// A parsed JSON text (RFC 8259, UTF-8; strings may hold any escaped character).
class Document {
 public:
  static Document parse(std::string_view text);  // throws ParseError
  Value root() const;

 private:
  explicit Document(std::shared_ptr<const detail::DocumentState> state) : state_(std::move(state)) {}
  std::shared_ptr<const detail::DocumentState> state_;
};

}  // namespace ormanta::utils::json::decoder
