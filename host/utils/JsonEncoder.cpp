#include <rapidjson/prettywriter.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "ormanta/utils/json/Encoder.h"

namespace ormanta::utils::json::encoder {

namespace {

// rapidjson's output stream concept over the host stream. rapidjson writes the structure
// (brackets, commas, colons, indentation) through it byte by byte.
class StreamAdapter {
 public:
  using Ch = char;
  void Put(char c) { out->put(c); }
  void Flush() {}

  io::OutputStream<char>* out = nullptr;
};

// Escapes JSON needs inside a string: the control characters, '"' and '\\'. 'u' means \u00XX.
constexpr auto kEscapes = [] {
  std::array<char, 256> escapes{};
  for (int c = 0; c < 0x20; ++c) escapes[static_cast<std::size_t>(c)] = 'u';
  escapes['\b'] = 'b';
  escapes['\t'] = 't';
  escapes['\n'] = 'n';
  escapes['\f'] = 'f';
  escapes['\r'] = 'r';
  escapes['"'] = '"';
  escapes['\\'] = '\\';
  return escapes;
}();

// Writes text as a quoted JSON string, handing unescaped runs to the stream in one piece
// (rapidjson's own WriteString goes byte by byte, which dominated encoding time). NUL bytes
// are part of the text and escaped like any control character.
void writeQuoted(io::OutputStream<char>& out, std::string_view text) {
  constexpr char kHex[] = "0123456789ABCDEF";
  out.put('"');
  const char* run = text.data();
  const char* const end = text.data() + text.size();
  for (const char* p = run; p != end; ++p) {
    const char escape = kEscapes[static_cast<unsigned char>(*p)];
    if (escape == 0) continue;
    out.write(run, static_cast<std::size_t>(p - run));
    run = p + 1;
    if (escape == 'u') {
      const auto byte = static_cast<unsigned char>(*p);
      const char sequence[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0x0f]};
      out.write(sequence, sizeof sequence);
    } else {
      const char sequence[] = {'\\', escape};
      out.write(sequence, sizeof sequence);
    }
  }
  out.write(run, static_cast<std::size_t>(end - run));
  out.put('"');
}

// A rapidjson writer whose strings and raw numbers bypass its byte-wise output: rapidjson
// still places the separators and indentation and counts the values, we write the text.
// Neither is ever a root value, so rapidjson's end-of-root flush is not needed.
template <class Base>
class BulkWriter : public Base {
 public:
  explicit BulkWriter(StreamAdapter& adapter) : Base(adapter), adapter_(&adapter) {}

  void string(std::string_view text) {
    prefix(rapidjson::kStringType);
    writeQuoted(*adapter_->out, text);
  }

  void number(std::string_view text) {
    prefix(rapidjson::kNumberType);
    adapter_->out->write(text.data(), text.size());
  }

 private:
  void prefix(rapidjson::Type type) {
    if constexpr (std::is_same_v<Base, rapidjson::PrettyWriter<StreamAdapter>>) {
      Base::PrettyPrefix(type);
    } else {
      Base::Prefix(type);
    }
  }

  StreamAdapter* adapter_;
};

using CompactWriter = BulkWriter<rapidjson::Writer<StreamAdapter>>;
using PrettyWriter = BulkWriter<rapidjson::PrettyWriter<StreamAdapter>>;

// ---- UTF-8

struct Utf8Step {
  std::size_t length;  // bytes of the sequence, or of the maximal ill-formed subpart
  bool valid;
};

// One step over well-formed UTF-8 (Unicode table 3-7). An ill-formed sequence is reported by
// its maximal subpart, which becomes one U+FFFD (the replacement the Unicode standard advises).
Utf8Step utf8Step(const unsigned char* p, std::size_t remaining) noexcept {
  const unsigned char lead = p[0];
  if (lead < 0x80) return {1, true};
  std::size_t continuations = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    continuations = 1;
  } else if (lead == 0xE0) {
    continuations = 2;
    low = 0xA0;  // no overlong forms
  } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
    continuations = 2;
  } else if (lead == 0xED) {
    continuations = 2;
    high = 0x9F;  // no surrogates
  } else if (lead == 0xF0) {
    continuations = 3;
    low = 0x90;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    continuations = 3;
  } else if (lead == 0xF4) {
    continuations = 3;
    high = 0x8F;  // nothing above U+10FFFF
  } else {
    return {1, false};
  }
  for (std::size_t i = 1; i <= continuations; ++i) {
    if (i >= remaining || p[i] < low || p[i] > high) return {i, false};
    low = 0x80;
    high = 0xBF;
  }
  return {continuations + 1, true};
}

// Offset of the first ill-formed byte, or npos. Plain ASCII is checked eight bytes at a time.
std::size_t firstInvalidUtf8(std::string_view text) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    if (size - i >= 8) {
      std::uint64_t block;
      std::memcpy(&block, bytes + i, 8);
      if ((block & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    const Utf8Step step = utf8Step(bytes + i, size - i);
    if (!step.valid) return i;
    i += step.length;
  }
  return std::string_view::npos;
}

// The text itself when it is valid UTF-8 (the common case: no copy), else a copy in scratch
// with each ill-formed part replaced by U+FFFD.
std::string_view validUtf8(std::string_view text, std::string& scratch) {
  std::size_t invalid = firstInvalidUtf8(text);
  if (invalid == std::string_view::npos) return text;
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  scratch.assign(text.substr(0, invalid));
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = invalid; i < text.size();) {
    const Utf8Step step = utf8Step(bytes + i, text.size() - i);
    if (step.valid) {
      scratch.append(text.substr(i, step.length));
    } else {
      scratch.append(kReplacement);
    }
    i += step.length;
  }
  return scratch;
}

// ---- Numbers

bool skipDigits(std::string_view text, std::size_t& i) noexcept {
  const std::size_t start = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  return i > start;
}

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool isJsonNumber(std::string_view text) noexcept {
  std::size_t i = 0;
  if (i < text.size() && text[i] == '-') ++i;
  if (i == text.size()) return false;
  if (text[i] == '0') {
    ++i;
  } else if (!(text[i] >= '1' && text[i] <= '9') || !skipDigits(text, i)) {
    return false;
  }
  if (i < text.size() && text[i] == '.' && !skipDigits(text, ++i)) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (!skipDigits(text, i)) return false;
  }
  return i == text.size();
}

// The refused text as it can be shown in a message: what() ends at a NUL, and control
// bytes would garble the message.
std::string printable(std::string_view text) {
  constexpr std::size_t kShown = 64;
  constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : text.substr(0, kShown)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f && c != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0f];
    }
  }
  if (text.size() > kShown) out += "...";
  return out;
}

}  // namespace

namespace detail {

// The state of one document: the rapidjson writer for its format and the stack of open
// containers. Containers are known by serial numbers (the handles' depth_ field), which never
// repeat within a thread's writer, so a handle of a closed container is recognised even
// after a sibling took its place.
//
// Writers are recycled per thread (see takeWriter): registration encodes hundreds of thousands
// of small documents, and a recycled writer keeps its buffers, so a document costs no
// allocation.
class Writer {
 public:
  Writer() : compact_(adapter_), pretty_(adapter_) { pretty_.SetIndent(' ', 4); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void start(io::OutputStream<char>& out, bool pretty) {
    adapter_.out = &out;
    prettyFormat_ = pretty;
    compact_.Reset(adapter_);
    pretty_.Reset(adapter_);
    open_.clear();
    state_ = State::kEmpty;
    // A rare huge invalid text should not pin its copy to the thread for good.
    constexpr std::size_t kKeptScratch = 64 * 1024;
    if (keyScratch_.capacity() > kKeptScratch) std::string().swap(keyScratch_);
    if (valueScratch_.capacity() > kKeptScratch) std::string().swap(valueScratch_);
  }

  std::uint32_t openRoot(bool array) {
    checkUsable();
    if (state_ != State::kEmpty) throw std::logic_error("JSON document already has a root value");
    const std::uint32_t id = push();
    state_ = State::kOpen;
    guarded([array](auto& w) { array ? w.StartArray() : w.StartObject(); });
    return id;
  }

  void close() {
    checkUsable();
    if (state_ == State::kEmpty) throw std::logic_error("JSON document closed without a root value");
    if (!open_.empty()) throw std::logic_error("JSON document closed while a container is still open");
    state_ = State::kClosed;
  }

  void addString(std::uint32_t id, const std::string_view* key, std::string_view value) {
    checkInnermost(id);
    writeMember(key, [&](auto& w) { w.string(validUtf8(value, valueScratch_)); });
  }

  void addNumber(std::uint32_t id, const std::string_view* key, std::string_view number) {
    checkInnermost(id);
    if (!isJsonNumber(number)) {
      throw std::invalid_argument("JSON number expected, got \"" + printable(number) + "\"");
    }
    writeMember(key, [number](auto& w) { w.number(number); });
  }

  void addBool(std::uint32_t id, const std::string_view* key, bool value) {
    checkInnermost(id);
    writeMember(key, [value](auto& w) { w.Bool(value); });
  }

  void addNull(std::uint32_t id, const std::string_view* key) {
    checkInnermost(id);
    writeMember(key, [](auto& w) { w.Null(); });
  }

  std::uint32_t openContainer(std::uint32_t id, const std::string_view* key, bool array) {
    checkInnermost(id);
    // Pushed before writing, so that a failed allocation leaves nothing written.
    const std::uint32_t child = push();
    writeMember(key, [array](auto& w) { array ? w.StartArray() : w.StartObject(); });
    return child;
  }

  void closeContainer(std::uint32_t id, bool array) {
    checkInnermost(id);
    guarded([array](auto& w) { array ? w.EndArray() : w.EndObject(); });
    open_.pop_back();
  }

 private:
  enum class State { kEmpty, kOpen, kClosed, kBroken };

  // Calls f with the writer of the document's format. A throwing stream (or allocation) leaves
  // the text half-way through a token, so the document refuses any further use.
  template <class F>
  void guarded(F&& f) {
    try {
      if (prettyFormat_) {
        f(pretty_);
      } else {
        f(compact_);
      }
    } catch (...) {
      state_ = State::kBroken;
      throw;
    }
  }

  // Writes the key (inside objects) and then the value f writes.
  template <class F>
  void writeMember(const std::string_view* key, F&& f) {
    guarded([&](auto& w) {
      if (key != nullptr) w.string(validUtf8(*key, keyScratch_));
      f(w);
    });
  }

  void checkUsable() const {
    if (state_ == State::kClosed) throw std::logic_error("JSON document is already closed");
    if (state_ == State::kBroken) throw std::logic_error("JSON document is unusable after a failed write");
  }

  void checkInnermost(std::uint32_t id) const {
    checkUsable();
    if (!open_.empty() && open_.back() == id) return;
    if (std::find(open_.begin(), open_.end(), id) != open_.end()) {
      throw std::logic_error("JSON container used while a container inside it is still open");
    }
    throw std::logic_error("JSON container used after it was closed");
  }

  std::uint32_t push() {
    if (++lastId_ == 0) ++lastId_;  // wrapped after 2^32 containers; 0 stays unused
    open_.push_back(lastId_);
    return lastId_;
  }

  StreamAdapter adapter_;
  CompactWriter compact_;
  PrettyWriter pretty_;
  bool prettyFormat_ = false;
  State state_ = State::kEmpty;
  std::vector<std::uint32_t> open_;  // serial numbers of the open containers, innermost last
  std::uint32_t lastId_ = 0;         // kept across documents: serials never restart
  std::string keyScratch_;
  std::string valueScratch_;
};

}  // namespace detail

namespace {

// One spare writer per thread. A thread builds its documents one after another, so one spare
// serves nearly every document; nested documents simply make another writer.
thread_local std::unique_ptr<detail::Writer> spareWriter;

std::unique_ptr<detail::Writer> takeWriter() {
  if (spareWriter) return std::move(spareWriter);
  return std::make_unique<detail::Writer>();
}

}  // namespace

// ---- Document

Document::Document(io::OutputStream<char>& out, int format) {
  if (format != kFormatPretty && format != kFormatCompact) {
    throw std::invalid_argument("JSON encoder format " + std::to_string(format) +
                                " is unknown (0 pretty, 1 compact)");
  }
  writer_ = takeWriter();
  writer_->start(out, format == kFormatPretty);
}

Document::~Document() {
  if (writer_ && !spareWriter) spareWriter = std::move(writer_);
}

Object Document::asObject() { return Object(writer_.get(), writer_->openRoot(false)); }
Array Document::asArray() { return Array(writer_.get(), writer_->openRoot(true)); }
void Document::close() { writer_->close(); }

// ---- Object

void Object::addStringView(std::string_view key, std::string_view value) {
  writer_->addString(depth_, &key, value);
}
void Object::addPreformattedNumber(std::string_view key, std::string_view number) {
  writer_->addNumber(depth_, &key, number);
}
void Object::addBool(std::string_view key, bool value) { writer_->addBool(depth_, &key, value); }
void Object::addNull(std::string_view key) { writer_->addNull(depth_, &key); }
Array Object::addArray(std::string_view key) {
  return Array(writer_, writer_->openContainer(depth_, &key, true));
}
Object Object::addObject(std::string_view key) {
  return Object(writer_, writer_->openContainer(depth_, &key, false));
}
void Object::close() { writer_->closeContainer(depth_, false); }

// ---- Array

void Array::addStringView(std::string_view value) { writer_->addString(depth_, nullptr, value); }
void Array::addPreformattedNumber(std::string_view number) { writer_->addNumber(depth_, nullptr, number); }
void Array::addBool(bool value) { writer_->addBool(depth_, nullptr, value); }
void Array::addNull() { writer_->addNull(depth_, nullptr); }
Object Array::addObject() { return Object(writer_, writer_->openContainer(depth_, nullptr, false)); }
Array Array::addArray() { return Array(writer_, writer_->openContainer(depth_, nullptr, true)); }
void Array::close() { writer_->closeContainer(depth_, true); }

}  // namespace ormanta::utils::json::encoder
