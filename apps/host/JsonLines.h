#pragma once

// The runner's output: one JSON object per line on standard output.
//   {"type":"attributes","service":NAME,"attributes":{NAME:VALUE,...}}
//   {"type":"event","service":NAME,"event":"connected"|"disconnected","time":ISO-TEXT}
//   {"type":"value","path":PATH,"value":TEXT}
//   {"type":"written","path":PATH,"value":TEXT}      (the answer to write)
//   {"type":"reconnect","services":N}                (the answer to reconnect)
//   {"type":"help","text":TEXT}                      (the answer to help)
//   {"type":"error","message":TEXT}
// Attribute values keep their JSON type (texts, booleans, numbers); error codes are objects
// {"value":N,"category":TEXT,"message":TEXT}; values without a JSON form are texts.

#include <cstddef>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ormanta/data/Types.h"
#include "ormanta/utils/chrono/TimePoint.h"
#include "ormanta/utils/io/OutputStream.h"

namespace ormanta::apps {

// An output stream into a std::string, for the host's JSON encoder.
class StringOutputStream final : public utils::io::OutputStream<char> {
 public:
  StringOutputStream();
  std::string deviceDescription() const override { return "in-memory text string"; }
  // The text written so far; the stream is empty afterwards.
  std::string take();

 protected:
  void refillWriteBuffer() override;
  std::size_t writeDirect(const char* data, std::size_t count) override;

 private:
  std::size_t written() const noexcept { return static_cast<std::size_t>(writePosition() - text_.data()); }
  std::string text_;
};

struct NamedValue {
  std::string name;
  data::Value value;
  bool readable = true;  // false: the attribute could not be read (written as null)
};

std::string attributesLine(std::string_view service, const std::vector<NamedValue>& attributes);
std::string eventLine(std::string_view service, std::string_view event, utils::chrono::TimePoint time);
std::string valueLine(std::string_view path, std::string_view text);
std::string writtenLine(std::string_view path, std::string_view text);
std::string reconnectLine(std::size_t services);
std::string helpLine(std::string_view text);
std::string errorLine(std::string_view message);

// Writes whole lines and flushes each; any thread.
class LineWriter {
 public:
  explicit LineWriter(std::ostream& out) : out_(out) {}
  void write(const std::string& line);

 private:
  std::mutex mutex_;
  std::ostream& out_;
};

}  // namespace ormanta::apps
