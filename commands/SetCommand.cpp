#include "commands/SetCommand.h"

#include <charconv>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include <fmt/format.h>

#include "commands/MemberLookup.h"
#include "plugin/Handlers.h"
#include "plugin/Service.h"

namespace ormanta::plugins::TulService {
namespace {

constexpr std::uint64_t kValueHistoryLength = 100;

// Name → value tables of the host's names, built once per process.
template <class Enum, int Count, class Namer>
const std::unordered_map<std::string_view, Enum>& nameTable(Namer namer) {
  static const std::unordered_map<std::string_view, Enum> table = [&] {
    std::unordered_map<std::string_view, Enum> names;
    for (int value = 0; value < Count; ++value) names.emplace(namer(static_cast<Enum>(value)), static_cast<Enum>(value));
    return names;
  }();
  return table;
}

const std::unordered_map<std::string_view, data::Quality>& qualityNames() {
  return nameTable<data::Quality, data::kQualityCount>([](data::Quality q) { return data::toBasicString(q); });
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

void applySetValue(CommandChannel& channel, std::string_view name, std::string_view value,
                   const data::WriteHandle& handle) {
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
    throw SetRefusal(fmt::format("'set' command failed. Value '{}' cannot be converted for {}.", quotedInput(value),
                                 quotedInput(name)));
  }
  std::vector<RedisRecord> echo(1);
  echo[0].key = fmt::format("{}:{}", channel.valueStreamPrefix, name);
  echo[0].fields.emplace("value", std::string(value));
  try {
    channel.connection.xadd(echo, kValueHistoryLength);
  } catch (const RedisErrorReply& refused) {
    // The server refused the echo (the stream key holds another type, say): the connection is
    // in step, so the peer gets the server's text. A time-out, a corrupted reply or a socket
    // error leaves the connection out of step and ends it instead.
    throw SetRefusal(refused.what());
  }
}

void handleSet(CommandConnectionHandler& handler, CommandChannel& channel, const Command& command) {
  const Service& service = *handler.owner;
  const auto names = command.fields.find("name");
  if (names == command.fields.end()) {
    return sendErrorResponse(channel, command.id, "Invalid set command received. \"name\" field missing");
  }
  const auto values = command.fields.find("value");
  if (values == command.fields.end()) {
    return sendErrorResponse(channel, command.id, "Invalid set command received. \"value\" field missing");
  }
  if (names->second.size() != values->second.size()) {
    return sendErrorResponse(channel, command.id,
                             "Invalid set command received. \"name\" and \"value\" fields have different sizes");
  }
  for (std::size_t i = 0; i < names->second.size(); ++i) {
    const std::string& name = names->second[i];
    const std::string& value = values->second[i];
    model::ElementAttribute attribute = findMember(service, name);
    if (!attribute) {
      return sendErrorResponse(channel, command.id,
                               fmt::format("'set' command failed. No channel {} exists.", quotedInput(name)));
    }
    try {
      applySetValue(channel, name, value, attribute.writeHandle());
    } catch (const SetRefusal& refusal) {
      return sendErrorResponse(channel, command.id, refusal.text());
    }
  }
  sendSuccessResponse(channel, command.id);
}

}  // namespace ormanta::plugins::TulService
