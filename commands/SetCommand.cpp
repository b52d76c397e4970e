#include "commands/SetCommand.h"

#include <fmt/format.h>

#include <charconv>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "commands/MemberLookup.h"
#include "plugin/Handlers.h"
#include "plugin/Service.h"
#include "publishing/ValueStreams.h"

namespace ormanta::plugins::TulService {
namespace {

// Name → value tables of the host's names, built once per process.
template <class Enum, int Count, class Namer>
const std::unordered_map<std::string_view, Enum>& nameTable(Namer namer) {
  static const std::unordered_map<std::string_view, Enum> table = [&] {
    std::unordered_map<std::string_view, Enum> names;
    for (int value = 0; value < Count; ++value)
      names.emplace(namer(static_cast<Enum>(value)), static_cast<Enum>(value));
    return names;
  }();
  return table;
}

const std::unordered_map<std::string_view, data::Quality>& qualityNames() {
  return nameTable<data::Quality, data::kQualityCount>(
      [](data::Quality q) { return data::toBasicString(q); });
}

const std::unordered_map<std::string_view, model::ElementCategory>& categoryNames() {
  return nameTable<model::ElementCategory, model::kElementCategoryCount>(
      [](model::ElementCategory c) { return model::toBasicString(c); });
}

// The number that the whole text is, as std::from_chars reads it: for integers decimal digits
// (and a "-" for signed types), no sign "+", no white space. A number read from only a part of
// the text would be written as a value the peer never sent ("82,5" as 82).
template <class T, class... Format>
std::optional<T> wholeNumber(std::string_view text, Format... format) {
  T value{};
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, format...);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

template <class T>
WriteOutcome writeIfConverted(const std::optional<T>& value, const data::WriteHandle& handle) {
  if (!value) return WriteOutcome::kNotConverted;
  checkWriteResult(handle.write(*value));
  return WriteOutcome::kWritten;
}

template <class Enum>
WriteOutcome writeName(std::string_view text, const std::unordered_map<std::string_view, Enum>& names,
                       const data::WriteHandle& handle) {
  auto found = names.find(text);
  return writeIfConverted(found == names.end() ? std::nullopt : std::optional<Enum>(found->second), handle);
}

bool isUtf8Continuation(char byte) noexcept { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

}  // namespace

std::string quotedInput(std::string_view text) {
  if (text.size() <= kQuotedInputLimit) return std::string(text);
  // A UTF-8 sequence has at most three bytes after its lead byte.
  std::size_t cut = kQuotedInputLimit;
  while (cut > kQuotedInputLimit - 3 && isUtf8Continuation(text[cut])) --cut;
  return std::string(text.substr(0, cut)).append("\xE2\x80\xA6");  // U+2026 in UTF-8
}

void checkWriteResult(const std::error_code& result) {
  if (result != std::error_code()) {
    throw std::runtime_error(fmt::format("Error writing to a Ormanta data point: {}", result.message()));
  }
}

WriteOutcome writeTextValue(std::string_view text, const data::WriteHandle& handle) {
  using data::NativeType;
  switch (handle.nativeType()) {
    case NativeType::kBool:
      if (text != "true" && text != "false") {
        throw std::runtime_error("Only \"true\" and \"false\" values are supported");
      }
      checkWriteResult(handle.write(text == "true"));
      return WriteOutcome::kWritten;
    case NativeType::kInt:
      return writeIfConverted(wholeNumber<std::int64_t>(text), handle);
    case NativeType::kUInt:
      return writeIfConverted(wholeNumber<std::uint64_t>(text), handle);
    case NativeType::kDouble:
      return writeIfConverted(wholeNumber<double>(text, std::chars_format::general), handle);
    case NativeType::kString:
    case NativeType::kText:
    case NativeType::kPath:
    case NativeType::kName:
    case NativeType::kJson:
      checkWriteResult(handle.write(text));
      return WriteOutcome::kWritten;
    case NativeType::kTimePoint:
      throw std::runtime_error("The TimePoint attribute is not supported for writing");
    case NativeType::kUuid: {
      utils::Expected<utils::core::Uuid> uuid = utils::core::Uuid::fromStringInternal(text);
      return writeIfConverted(uuid ? std::optional(*uuid) : std::nullopt, handle);
    }
    case NativeType::kQuality:
      return writeName(text, qualityNames(), handle);
    case NativeType::kCategory:
      return writeName(text, categoryNames(), handle);
    case NativeType::kErrorCode:
      throw std::runtime_error("The ErrorCode attribute is not supported for writing");
    default:
      throw std::runtime_error("The attribute is not supported for writing");
  }
}

namespace {

std::string noChannelText(std::string_view name) {
  return fmt::format("'set' command failed. No channel {} exists.", quotedInput(name));
}

RedisRecord echoRecord(const CommandStream& stream, std::string_view name, std::string_view value) {
  RedisRecord echo;
  echo.key = valueStreamKey(stream.valueStreamPrefix, name);
  echo.fields.emplace("value", std::string(value));
  return echo;
}

// The refusal of a set command whose fields do not pair up, if they do not.
std::optional<std::string> malformed(const Command& command) {
  const auto names = command.fields.find("name");
  if (names == command.fields.end()) return "Invalid set command received. \"name\" field missing";
  const auto values = command.fields.find("value");
  if (values == command.fields.end()) return "Invalid set command received. \"value\" field missing";
  if (names->second.size() != values->second.size()) {
    return "Invalid set command received. \"name\" and \"value\" fields have different sizes";
  }
  return std::nullopt;
}

// Writes the command's values in order up to the first refusal and makes it pending with the
// echoes of the values written.
void executeSet(const Service& service, CommandStream& stream, const Command& command) {
  PendingEchoes& pending = stream.echoes;
  PendingEchoes::Entry entry{command.id, staleRefusal(stream, command), pending.echoes.size(), 0};
  if (!entry.refusal) entry.refusal = malformed(command);
  if (!entry.refusal) {
    const std::vector<std::string>& names = command.fields.find("name")->second;
    const std::vector<std::string>& values = command.fields.find("value")->second;
    for (std::size_t i = 0; i < names.size() && !entry.refusal; ++i) {
      const model::ElementAttribute attribute = findMember(service, names[i]);
      if (!attribute) {
        entry.refusal = noChannelText(names[i]);
        break;
      }
      try {
        writeSetValue(names[i], values[i], attribute.writeHandle());
        pending.echoes.push_back(echoRecord(stream, names[i], values[i]));
        ++entry.echoCount;
      } catch (const SetRefusal& refusal) {
        entry.refusal = refusal.text();
      }
    }
  }
  pending.commands.push_back(std::move(entry));
}

}  // namespace

void writeSetValue(std::string_view name, std::string_view value, const data::WriteHandle& handle) {
  // A text that does not convert is refused, not echoed: the value stream would otherwise
  // carry a value the member does not hold.
  WriteOutcome outcome;
  try {
    outcome = writeTextValue(value, handle);
  } catch (const SetRefusal&) {
    throw;
  } catch (const std::exception& error) {
    throw SetRefusal(error.what());
  }
  if (outcome == WriteOutcome::kNotConverted) {
    throw SetRefusal(fmt::format("'set' command failed. Value '{}' cannot be converted for {}.",
                                 quotedInput(value), quotedInput(name)));
  }
}

void handleSets(CommandConnectionHandler& handler, CommandStream& stream, const Command& first) {
  const Service& service = *handler.owner;
  executeSet(service, stream, first);
  while (stream.echoes.commands.size() < CommandStream::kResponseBatch && !stream.commands.empty() &&
         stream.commands.front().type == CommandType::kSet) {
    const Command command = std::move(stream.commands.front());
    stream.commands.pop_front();
    executeSet(service, stream, command);
  }
  completeEchoes(stream);
}

}  // namespace ormanta::plugins::TulService
