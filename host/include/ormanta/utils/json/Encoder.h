#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "ormanta/utils/io/OutputStream.h"

namespace ormanta::utils::json::encoder {

// Encoder formats: 0 indents with four spaces and new lines, 1 writes no white space.
inline constexpr int kFormatPretty = 0;
inline constexpr int kFormatCompact = 1;

namespace detail {
class Writer;
}

class Object;
class Array;

// Streams one JSON value into an output stream as it is built; nothing is kept in memory.
// Texts are escaped as JSON requires ('"', '\\', control characters); bytes that are not
// valid UTF-8 are written as U+FFFD so that the output is always valid JSON.
//
// Containers are built strictly inside out: a container may be added to only while it is
// the innermost open one, and must be closed before its parent goes on; misuse throws
// std::logic_error. Single-threaded.
class Document {
 public:
  Document(io::OutputStream<char>& out, int format);  // throws std::invalid_argument for another format
  ~Document();
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  Object asObject();
  Array asArray();
  // Ends the document; the root container must be closed.
  void close();

 private:
  std::unique_ptr<detail::Writer> writer_;
};

class Object {
 public:
  void addStringView(std::string_view key, std::string_view value);
  // number must be a JSON number text ("12", "-0.5", "1e9"); anything else throws std::invalid_argument.
  void addPreformattedNumber(std::string_view key, std::string_view number);
  void addBool(std::string_view key, bool value);
  void addNull(std::string_view key);
  Array addArray(std::string_view key);
  Object addObject(std::string_view key);
  void close();

 private:
  friend class Document;
  friend class Array;
  Object(detail::Writer* writer, std::uint32_t depth) : writer_(writer), depth_(depth) {}
  detail::Writer* writer_;
  std::uint32_t depth_;
};

class Array {
 public:
  void addStringView(std::string_view value);
  void addPreformattedNumber(std::string_view number);
  void addBool(bool value);
  void addNull();
  Object addObject();
  Array addArray();
  void close();

 private:
  friend class Document;
  friend class Object;
  Array(detail::Writer* writer, std::uint32_t depth) : writer_(writer), depth_(depth) {}
  detail::Writer* writer_;
  std::uint32_t depth_;
};

}  // namespace ormanta::utils::json::encoder
