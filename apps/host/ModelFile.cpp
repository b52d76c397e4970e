#include "host/ModelFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>

#include "host/ValueConversion.h"
#include "ormanta/utils/json/Decoder.h"

namespace ormanta::apps {
namespace {

namespace json = utils::json::decoder;
using data::NativeType;

[[noreturn]] void fail(const std::string& path, const std::string& message) {
  throw std::invalid_argument(path + ": " + message);
}

// Unknown members are refused so that a misspelt key does not go unnoticed.
void checkMembers(const json::Object& object, std::initializer_list<std::string_view> known) {
  for (auto cursor = object.begin(); cursor != object.end(); object.step(cursor)) {
    const json::Member member = *cursor;
    bool found = false;
    for (std::string_view name : known) found = found || name == member.name();
    if (!found) fail(member.value().path(), "unknown member \"" + std::string(member.name()) + "\"");
  }
}

std::string requiredString(const json::Object& object, std::string_view name) {
  std::optional<json::Value> value = object.find(name);
  if (!value) fail(object.path(), "missing member \"" + std::string(name) + "\"");
  return std::string(value->asString().view());
}

std::int64_t positiveMilliseconds(const json::Value& value) {
  const std::int64_t ms = value.asInt64();
  if (ms < 1) fail(value.path(), "must be at least 1 (milliseconds)");
  return ms;
}

NativeType parseType(const json::Value& value) {
  const std::string name(value.asString().view());
  std::optional<NativeType> type = nativeTypeFromName(name);
  if (!type) {
    fail(value.path(), "unknown type \"" + name +
                           "\" (expected bool, int, uint, double, string, time, uuid, quality, category, "
                           "errorCode or unsupported)");
  }
  return *type;
}

std::int32_t parseAccess(const json::Value& value) {
  const std::string_view text = value.asString().view();
  if (text == "r") return model::kAccessRead;
  if (text == "w") return model::kAccessWrite;
  if (text == "b") return model::kAccessReadWrite;
  fail(value.path(), "unknown access \"" + std::string(text) + "\" (expected \"r\", \"w\" or \"b\")");
}

model::ElementCategory parseCategoryValue(const json::Value& value) {
  const std::string text = value.kind() == json::Kind::kNumber ? std::to_string(value.asInt64())
                                                               : std::string(value.asString().view());
  std::optional<model::ElementCategory> category = parseCategory(text);
  if (!category)
    fail(value.path(), "unknown category \"" + text + "\" (expected a name such as Pump, or 0 to 15)");
  return *category;
}

// The initial value in the type's natural JSON form.
data::Value parseInitial(NativeType type, const json::Value& value) {
  switch (type) {
    case NativeType::kBool:
      return value.asBool();
    case NativeType::kInt:
      return value.asInt64();
    case NativeType::kUInt:
      return value.asUInt64();
    case NativeType::kDouble:
      return value.asDouble();
    case NativeType::kString:
      return std::string(value.asString().view());
    case NativeType::kQuality: {
      const std::string text = value.kind() == json::Kind::kNumber ? std::to_string(value.asInt64())
                                                                   : std::string(value.asString().view());
      if (auto quality = parseQuality(text)) return *quality;
      fail(value.path(),
           "unknown quality \"" + text + "\" (expected Good, Uncertain, Bad, NotConnected or 0 to 3)");
    }
    case NativeType::kCategory:
      return parseCategoryValue(value);
    case NativeType::kErrorCode:
      return errorCodeFromNumber(value.asInt64());
    case NativeType::kTimePoint:
    case NativeType::kUuid:
      try {
        return parseValueText(type, value.asString().view());
      } catch (const std::invalid_argument& error) {
        fail(value.path(), error.what());
      }
    default:
      fail(value.path(), "an attribute of type \"unsupported\" has no value");
  }
}

bool isNumeric(NativeType type) {
  return type == NativeType::kInt || type == NativeType::kUInt || type == NativeType::kDouble;
}

Simulation parseSimulation(const json::Value& value, NativeType type) {
  const json::Object object = value.asObject();
  checkMembers(object, {"kind", "periodMs", "stepMs", "amplitude", "min", "max", "decimals"});
  Simulation simulation;
  const std::string kind = requiredString(object, "kind");
  if (kind == "counter") {
    simulation.kind = SimulationKind::kCounter;
  } else if (kind == "sine") {
    simulation.kind = SimulationKind::kSine;
  } else if (kind == "toggle") {
    simulation.kind = SimulationKind::kToggle;
  } else if (kind == "random") {
    simulation.kind = SimulationKind::kRandom;
  } else {
    fail(object.path() + ".kind",
         "unknown simulation \"" + kind + "\" (expected counter, sine, toggle or random)");
  }
  const bool wantsBool = simulation.kind == SimulationKind::kToggle;
  if (wantsBool ? type != NativeType::kBool : !isNumeric(type)) {
    fail(object.path() + ".kind", "\"" + kind + "\" needs " +
                                      (wantsBool ? "a bool" : "an int, uint or double") + " attribute, not " +
                                      std::string(nativeTypeName(type)));
  }
  std::optional<json::Value> period = object.find("periodMs");
  if (!period) fail(object.path(), "missing member \"periodMs\"");
  simulation.periodMs = positiveMilliseconds(*period);
  if (auto step = object.find("stepMs")) simulation.stepMs = positiveMilliseconds(*step);
  if (auto amplitude = object.find("amplitude")) simulation.amplitude = amplitude->asDouble();
  if (auto decimals = object.find("decimals")) {
    const std::int64_t digits = decimals->asInt64();
    if (digits < 0 || digits > 15) fail(decimals->path(), "must be 0 to 15");
    simulation.decimals = static_cast<int>(digits);
  }
  if (simulation.kind == SimulationKind::kRandom) {
    std::optional<json::Value> min = object.find("min");
    std::optional<json::Value> max = object.find("max");
    if (!min || !max) fail(object.path(), "\"random\" needs members \"min\" and \"max\"");
    simulation.min = min->asDouble();
    simulation.max = max->asDouble();
    if (simulation.min > simulation.max) fail(max->path(), "must not be below \"min\"");
  }
  return simulation;
}

class ModelBuilder {
 public:
  explicit ModelBuilder(host::Model& model) : model_(model) {}

  void addElements(const json::Array& elements, const model::Element* parent) {
    for (std::size_t i = 0; i < elements.size(); ++i) addElement(elements.at(i), parent);
  }

  std::vector<SimulatedAttribute> take() { return std::move(simulated_); }

 private:
  void addElement(const json::Value& value, const model::Element* parent) {
    const json::Object object = value.asObject();
    checkMembers(object, {"key", "name", "category", "attributes", "children"});
    host::ElementSpec description(requiredString(object, "key"));
    if (auto name = object.find("name")) description.name = std::string(name->asString().view());
    if (auto category = object.find("category")) description.category = parseCategoryValue(*category);

    std::vector<std::pair<std::size_t, Simulation>> simulations;  // attribute index -> simulation
    if (auto attributes = object.find("attributes")) {
      const json::Array list = attributes->asArray();
      for (std::size_t i = 0; i < list.size(); ++i) {
        std::optional<Simulation> simulation;
        description.attributes.push_back(parseAttribute(list.at(i), simulation));
        if (simulation) simulations.emplace_back(i, *simulation);
      }
    }
    std::shared_ptr<model::Element> element;
    try {
      element = model_.addElement(description, parent);
    } catch (const std::invalid_argument& error) {
      fail(object.path(), error.what());
    }
    for (auto& [index, simulation] : simulations) {
      const host::AttributeSpec& attribute = description.attributes[index];
      simulated_.push_back({element->primaryKey(), attribute.name, attribute.nativeType,
                            model_.readValue(element->primaryKey(), attribute.name).value(), simulation});
    }
    if (auto children = object.find("children")) addElements(children->asArray(), element.get());
  }

  host::AttributeSpec parseAttribute(const json::Value& value, std::optional<Simulation>& simulation) {
    const json::Object object = value.asObject();
    checkMembers(object, {"name", "type", "access", "bitSize", "value", "simulate"});
    host::AttributeSpec description;
    description.name = requiredString(object, "name");
    std::optional<json::Value> type = object.find("type");
    if (!type) fail(object.path(), "missing member \"type\"");
    description.nativeType = parseType(*type);
    description.accessMode = model::kAccessRead;
    if (auto access = object.find("access")) description.accessMode = parseAccess(*access);
    description.bitSize = 64;
    if (auto bitSize = object.find("bitSize")) {
      if (!isNumeric(description.nativeType))
        fail(bitSize->path(), "only int, uint and double attributes have a bit size");
      const std::int64_t bits = bitSize->asInt64();
      const bool valid = description.nativeType == NativeType::kDouble
                             ? (bits == 32 || bits == 64)
                             : (bits == 8 || bits == 16 || bits == 32 || bits == 64);
      if (!valid) {
        fail(bitSize->path(),
             description.nativeType == NativeType::kDouble ? "must be 32 or 64" : "must be 8, 16, 32 or 64");
      }
      description.bitSize = static_cast<std::int32_t>(bits);
    }
    if (auto initial = object.find("value"))
      description.initial = parseInitial(description.nativeType, *initial);
    if (auto simulate = object.find("simulate"))
      simulation = parseSimulation(*simulate, description.nativeType);
    return description;
  }

  host::Model& model_;
  std::vector<SimulatedAttribute> simulated_;
};

}  // namespace

std::vector<SimulatedAttribute> buildModel(std::string_view text, host::Model& model) {
  const json::Document document = [&] {
    try {
      return json::Document::parse(text);
    } catch (const json::ParseError& error) {
      // People find a line and column in their editor; a byte offset they would have to count.
      const std::size_t offset = std::min(error.offset(), text.size());
      const std::string_view before = text.substr(0, offset);
      const std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
      const std::size_t lineStart = before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
      std::string reason = error.what();
      if (const std::size_t colon = reason.find(": ");
          reason.starts_with("invalid JSON at offset") && colon != std::string::npos)
        reason = reason.substr(colon + 2);
      throw json::ParseError("invalid JSON at line " + std::to_string(line) + ", column " +
                                 std::to_string(offset - lineStart + 1) + ": " + reason,
                             error.offset());
    }
  }();
  const json::Object root = document.root().asObject();
  checkMembers(root, {"elements"});
  std::optional<json::Value> elements = root.find("elements");
  if (!elements) fail("$", "missing member \"elements\"");
  ModelBuilder builder(model);
  builder.addElements(elements->asArray(), nullptr);
  return builder.take();
}

std::string readTextFile(const std::filesystem::path& path) {
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored))
    throw std::runtime_error("cannot read " + path.string() + ": it is a directory");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string() + ": " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw std::runtime_error("cannot read " + path.string());
  return text.str();
}

std::vector<SimulatedAttribute> loadModelFile(const std::filesystem::path& path, host::Model& model) {
  return buildModel(readTextFile(path), model);
}

}  // namespace ormanta::apps
