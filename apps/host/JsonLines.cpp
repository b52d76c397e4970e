#include "host/JsonLines.h"

#include <algorithm>
#include <cmath>

#include "host/ValueConversion.h"
#include "ormanta/utils/json/Encoder.h"
#include "ormanta/utils/numeric/FormatNumber.h"

namespace ormanta::apps {
namespace {

namespace json = utils::json::encoder;

constexpr std::size_t kInitialCapacity = 128;

template <class Number>
std::string numberText(Number number) {
  char buffer[32];
  const std::size_t length = utils::numeric::formatNumber(buffer, sizeof buffer, number);
  return std::string(buffer, std::min(length, sizeof buffer));
}

void addValue(json::Object& object, std::string_view key, const NamedValue& entry) {
  if (!entry.readable) return object.addNull(key);
  const data::Value& value = entry.value;
  if (auto* flag = std::get_if<bool>(&value)) return object.addBool(key, *flag);
  if (auto* v = std::get_if<std::int64_t>(&value)) return object.addPreformattedNumber(key, numberText(*v));
  if (auto* v = std::get_if<std::uint64_t>(&value)) return object.addPreformattedNumber(key, numberText(*v));
  if (auto* v = std::get_if<double>(&value)) {
    // JSON has no NaN or infinity: those stay texts.
    if (std::isfinite(*v)) return object.addPreformattedNumber(key, numberText(*v));
    return object.addStringView(key, numberText(*v));
  }
  if (auto* code = std::get_if<std::error_code>(&value)) {
    json::Object error = object.addObject(key);
    error.addPreformattedNumber("value", numberText(static_cast<std::int64_t>(code->value())));
    error.addStringView("category", code->category().name());
    error.addStringView("message", code->message());
    return error.close();
  }
  if (std::optional<std::string> text = valueText(value)) return object.addStringView(key, *text);
  object.addNull(key);
}

// Builds one line: the root object is filled by fill.
template <class Fill>
std::string line(Fill&& fill) {
  StringOutputStream stream;
  json::Document document(stream, json::kFormatCompact);
  json::Object root = document.asObject();
  fill(root);
  root.close();
  document.close();
  return stream.take();
}

}  // namespace

StringOutputStream::StringOutputStream() : text_(kInitialCapacity, '\0') {
  setWriteBuffer(text_.data(), text_.data() + text_.size());
}

void StringOutputStream::refillWriteBuffer() {
  const std::size_t used = written();
  text_.resize(std::max(text_.size() * 2, kInitialCapacity));
  setWriteBuffer(text_.data() + used, text_.data() + text_.size());
}

std::size_t StringOutputStream::writeDirect(const char* data, std::size_t count) {
  const std::size_t used = written();
  text_.resize(used);
  text_.append(data, count);
  const std::size_t end = text_.size();
  text_.resize(std::max(end * 2, kInitialCapacity));
  setWriteBuffer(text_.data() + end, text_.data() + text_.size());
  return count;
}

std::string StringOutputStream::take() {
  text_.resize(written());
  std::string result = std::move(text_);
  text_.assign(kInitialCapacity, '\0');
  setWriteBuffer(text_.data(), text_.data() + text_.size());
  return result;
}

std::string attributesLine(std::string_view service, const std::vector<NamedValue>& attributes) {
  return line([&](json::Object& root) {
    root.addStringView("type", "attributes");
    root.addStringView("service", service);
    json::Object values = root.addObject("attributes");
    for (const NamedValue& attribute : attributes) addValue(values, attribute.name, attribute);
    values.close();
  });
}

std::string eventLine(std::string_view service, std::string_view event, utils::chrono::TimePoint time) {
  const std::string timeText = valueText(time).value_or("");
  return line([&](json::Object& root) {
    root.addStringView("type", "event");
    root.addStringView("service", service);
    root.addStringView("event", event);
    root.addStringView("time", timeText);
  });
}

std::string valueLine(std::string_view path, std::string_view text) {
  return line([&](json::Object& root) {
    root.addStringView("type", "value");
    root.addStringView("path", path);
    root.addStringView("value", text);
  });
}

std::string writtenLine(std::string_view path, std::string_view text) {
  return line([&](json::Object& root) {
    root.addStringView("type", "written");
    root.addStringView("path", path);
    root.addStringView("value", text);
  });
}

std::string reconnectLine(std::size_t services) {
  return line([&](json::Object& root) {
    root.addStringView("type", "reconnect");
    root.addPreformattedNumber("services", numberText(static_cast<std::uint64_t>(services)));
  });
}

std::string helpLine(std::string_view text) {
  return line([&](json::Object& root) {
    root.addStringView("type", "help");
    root.addStringView("text", text);
  });
}

std::string errorLine(std::string_view message) {
  return line([&](json::Object& root) {
    root.addStringView("type", "error");
    root.addStringView("message", message);
  });
}

void LineWriter::write(const std::string& line) {
  std::lock_guard lock(mutex_);
  out_ << line << '\n';
  out_.flush();
}

}  // namespace ormanta::apps
