// writeTextValue for every native type, and valueText, over a fresh model that has a member
// of every type and bit size. The input is a sequence of steps, one per line; a step's first
// byte chooses the member (byte % members) and the mode.
//
// Text mode (first byte below 0x80): a set's text (the rest of the line) is written into the
// member. Refusals are std::runtime_error only, and a refused or unconverted text
// changes nothing. A written value reads back as the text says: the same words for bools,
// qualities and categories, the whole text for text types, the same number for integers and
// 64-bit doubles, the UUID's canonical form.
//
// Value mode (first byte 0x80 and above): the host itself stores a value made from the next
// eight bytes (any time point, double bit pattern, error code or enumeration value; for texts,
// the rest of the line), and valueText must turn whatever the member holds into text without
// throwing.

#include <bit>
#include <charconv>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>

#include "FuzzSupport.h"
#include "commands/SetCommand.h"
#include "plugin/ErrorCategories.h"
#include "publishing/ValueText.h"

namespace {

using namespace tul::fuzz;
using ormanta::data::NativeType;

struct Members {
  std::shared_ptr<ormanta::host::Model> model = ormanta::host::Model::create();
  std::vector<ormanta::data::ReadHandle> readers;
  std::vector<ormanta::data::WriteHandle> writers;

  Members() {
    addFuzzElement(*model);
    auto element = model->findElement("Plant");
    for (const FuzzMember& member : fuzzMembers()) {
      element->forEachAttribute([&](const ormanta::model::Attribute& attribute) {
        if (attribute.name() != member.name) return false;
        readers.push_back(element->attributeReadHandle(attribute));
        writers.push_back(element->attributeWriteHandle(attribute));
        return true;
      });
    }
    check(readers.size() == fuzzMembers().size(), "every fuzz member is in the model");
  }
};

template <class T>
std::optional<T> number(std::string_view text) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc()) return std::nullopt;
  return value;
}

void checkWritten(const FuzzMember& member, std::string_view text, const std::string& after) {
  const std::string detail =
      std::string(member.name) + " <- \"" + std::string(text) + "\" reads \"" + after + "\"";
  switch (member.type) {
    case NativeType::kBool:
    case NativeType::kString:
    case NativeType::kText:
    case NativeType::kPath:
    case NativeType::kName:
    case NativeType::kJson:
    case NativeType::kQuality:
    case NativeType::kCategory:
      return check(after == text, "the written text reads back unchanged", detail);
    case NativeType::kInt:
      return check(number<std::int64_t>(text) == number<std::int64_t>(after), "an integer reads back",
                   detail);
    case NativeType::kUInt:
      return check(number<std::uint64_t>(text) == number<std::uint64_t>(after), "an integer reads back",
                   detail);
    case NativeType::kDouble: {
      if (member.bitSize != 64) return;
      const std::optional<double> written = number<double>(text), read = number<double>(after);
      check(written && read, "a written double reads back as a number", detail);
      check(std::isnan(*written)
                ? std::isnan(*read)
                : std::bit_cast<std::uint64_t>(*written) == std::bit_cast<std::uint64_t>(*read),
            "a double reads back bit for bit", detail);
      return;
    }
    case NativeType::kUuid: {
      const auto uuid = ormanta::utils::core::Uuid::fromStringInternal(text);
      return check(uuid && after == uuid->toString(), "a UUID reads back in canonical form", detail);
    }
    default:
      return check(false, "a type that cannot be written was written", detail);
  }
}

void writeText(Members& members, std::size_t index, std::string_view text) {
  const FuzzMember& member = fuzzMembers()[index];
  const std::optional<std::string> before = TulService::valueText(members.readers[index]);
  bool changed = false;
  try {
    changed = TulService::writeTextValue(text, members.writers[index]) == TulService::WriteOutcome::kWritten;
  } catch (const std::runtime_error&) {
  }
  const std::optional<std::string> after = TulService::valueText(members.readers[index]);
  check(after.has_value() == before.has_value(), "a write does not make a value appear or vanish",
        member.name);
  if (!changed) return check(after == before, "a refused or unconverted text changes nothing", member.name);
  check(after.has_value(), "a written value can be read", member.name);
  checkWritten(member, text, *after);
}

void storeValue(Members& members, std::size_t index, Input& input) {
  const FuzzMember& member = fuzzMembers()[index];
  const std::uint64_t bits = input.u64();
  ormanta::data::Value value;
  switch (member.type) {
    case NativeType::kBool:
      value = (bits & 1) != 0;
      break;
    case NativeType::kInt:
      value = static_cast<std::int64_t>(bits);
      break;
    case NativeType::kUInt:
      value = bits;
      break;
    case NativeType::kDouble:
      value = std::bit_cast<double>(bits);
      break;
    case NativeType::kTimePoint:
      value =
          ormanta::utils::chrono::TimePoint(ormanta::utils::chrono::Ticks(static_cast<std::int64_t>(bits)));
      break;
    case NativeType::kUuid: {
      ormanta::utils::core::Uuid::Bytes bytes{};
      for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(bits >> (8 * (i % 8)));
      value = ormanta::utils::core::Uuid::fromRawData(bytes);
      break;
    }
    case NativeType::kQuality:
      value = static_cast<ormanta::data::Quality>(bits);
      break;
    case NativeType::kCategory:
      value = static_cast<ormanta::model::ElementCategory>(bits);
      break;
    case NativeType::kErrorCode: {
      const int code = static_cast<int>(bits >> 8);
      switch (bits & 3) {
        case 0:
          value = std::error_code(code, std::system_category());
          break;
        case 1:
          value = std::error_code(code, std::generic_category());
          break;
        case 2:
          value = TulService::connectionError(code);
          break;
        default:
          value = std::error_code(code, TulService::registrationErrorCategory());
          break;
      }
      break;
    }
    case NativeType::kBinary:
    case NativeType::kStructure:
      break;
    default:
      value = std::string(input.rest());
      break;
  }
  // The host refuses what the member cannot hold (a range, a type); what it stores must publish.
  const bool stored = !members.model->setValue("Plant", member.name, std::move(value));
  const std::optional<std::string> text = TulService::valueText(members.readers[index]);
  if (stored && member.type != NativeType::kBinary && member.type != NativeType::kStructure) {
    check(text.has_value(), "a stored value publishes as text", member.name);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Members members;
  Input input(data, size);
  while (!input.empty()) {
    const std::string_view line = input.line();
    Input step(reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
    const std::uint8_t mode = step.byte();
    const std::size_t index = (mode & 0x7F) % fuzzMembers().size();
    if (mode < 0x80) {
      writeText(members, index, step.rest());
    } else {
      storeValue(members, index, step);
    }
  }
  return 0;
}
