#include "host/HostRunner.h"

#include <algorithm>

#include "host/ModelFile.h"
#include "host/ValueConversion.h"
#include "ormanta/host/SkillRegistry.h"
#include "ormanta/utils/json/Decoder.h"

namespace ormanta::apps {
namespace {

constexpr std::string_view kSkillName = "TUL";
constexpr std::string_view kElementClassName = "Service";
// Signals are only seen by polling a flag; this bounds how late.
constexpr auto kStopPoll = std::chrono::milliseconds(100);

std::string oneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  return text;
}

// The word before the first space, and the rest after that one space.
std::pair<std::string_view, std::string_view> splitWord(std::string_view text) {
  const std::size_t space = text.find(' ');
  if (space == std::string_view::npos) return {text, {}};
  return {text.substr(0, space), text.substr(space + 1)};
}

// "serviceName" of a configuration text, if it names one; the element reads it properly later.
std::string configuredServiceName(std::string_view configuration) {
  try {
    const auto document = utils::json::decoder::Document::parse(configuration);
    const auto object = document.root().asObject();
    if (auto name = object.find("serviceName"); name && name->kind() == utils::json::decoder::Kind::kString) {
      return std::string(name->asString().view());
    }
  } catch (const std::exception&) {
    // Reported when the element loads the configuration.
  }
  return {};
}

}  // namespace

HostRunner::HostRunner(Options options, std::ostream& out) : options_(std::move(options)), out_(out) {}

HostRunner::~HostRunner() { stop(); }

void HostRunner::start() {
  if (!options_.helpFile.empty()) {
    try {
      helpText_ = readTextFile(options_.helpFile);
    } catch (const std::exception& error) {
      throw StartupError(oneLine(error.what()));
    }
    while (!helpText_.empty() && helpText_.back() == '\n') helpText_.pop_back();
  }
  loadPlugin();
  buildModel();
  createServices();
  if (options_.simulate) simulator_.emplace(model_, std::move(simulated_), Clock::now());
}

void HostRunner::loadPlugin() {
  try {
    library_.emplace(options_.plugin);
  } catch (const std::exception& error) {
    throw StartupError(oneLine(error.what()));
  }
  skillClass_ = host::SkillRegistry::find(kSkillName);
  if (skillClass_ == nullptr) {
    throw StartupError("plug-in " + options_.plugin.string() + " registers no skill \"" +
                       std::string(kSkillName) + "\"");
  }
  skillClass_->forEachElementClass([&](const skill::Element::Class& elementClass) {
    if (elementClass.name() != kElementClassName) return false;
    elementClass_ = &elementClass;
    return true;
  });
  if (elementClass_ == nullptr) {
    throw StartupError("skill \"" + std::string(kSkillName) + "\" has no element class \"" +
                       std::string(kElementClassName) + "\"");
  }
  skill_ = skillClass_->createSkill();
}

void HostRunner::buildModel() {
  try {
    simulated_ = loadModelFile(options_.model, *model_);
  } catch (const std::exception& error) {
    throw StartupError(oneLine("model file " + options_.model.string() + ": " + error.what()));
  }
}

void HostRunner::createServices() {
  // All are configured before any starts, so that a bad configuration starts nothing.
  for (std::size_t i = 0; i < options_.configs.size(); ++i) {
    const std::string& argument = options_.configs[i];
    const bool isFile = !isInlineConfiguration(argument);
    const std::string label =
        "configuration " + std::to_string(i + 1) + (isFile ? " (" + argument + ")" : std::string());
    try {
      const std::string text = configurationText(argument);
      std::string key = configuredServiceName(text);
      if (key.empty()) key = "Service" + std::to_string(i + 1);
      for (const auto& other : services_) {
        if (other->key() == key) throw std::invalid_argument("service name \"" + key + "\" is used twice");
      }
      services_.push_back(std::make_unique<HostedService>(services_.size(), key, *skill_, *elementClass_,
                                                          allocator_, *model_, text, *mailbox_));
      statusTexts_.emplace_back(key, options_.reconnectEvery);
      lastStatusTexts_.emplace_back();
    } catch (const std::exception& error) {
      throw StartupError(oneLine(label + ": " + error.what()));
    }
  }
  for (const auto& service : services_) {
    try {
      service->realize();
    } catch (const std::exception& error) {
      throw StartupError(oneLine("service " + service->key() + ": realize failed: " + error.what()));
    }
  }
  // The initial states, once, before the workers can change them.
  for (std::size_t i = 0; i < services_.size(); ++i) printAttributes(i);
  for (const auto& service : services_) {
    try {
      service->prepare();
    } catch (const std::exception& error) {
      throw StartupError(oneLine("service " + service->key() + ": prepare failed: " + error.what()));
    }
  }
}

void HostRunner::run(const std::atomic<bool>& stopRequested) {
  Clock::time_point nextReconnect = Clock::now() + options_.reconnectEvery;
  while (!stopRequested.load()) {
    Clock::time_point deadline = std::min(nextReconnect, Clock::now() + kStopPoll);
    if (simulator_) deadline = std::min(deadline, simulator_->nextDue());
    if (!deliver(mailbox_->waitUntil(deadline))) return;
    const Clock::time_point now = Clock::now();
    if (now >= nextReconnect) {
      runReconnectTasks();
      while (nextReconnect <= now) nextReconnect += options_.reconnectEvery;
    }
    if (simulator_ && simulator_->nextDue() <= now) simulator_->tick(now);
  }
}

void HostRunner::stop() {
  if (stopped_) return;
  stopped_ = true;
  for (const auto& service : services_) service->cleanup();
  // The states the workers left behind on their way out.
  Mailbox::Contents last = mailbox_->take();
  for (std::size_t index : last.changedServices) {
    if (index < services_.size() && options_.format == OutputFormat::kJson) printAttributes(index);
  }
  if (options_.format == OutputFormat::kText)
    for (const auto& service : services_) out_.write(service->key() + ": stopped");
  simulator_.reset();
  services_.clear();
  skill_.reset();
  if (library_) library_->unload();
}

bool HostRunner::deliver(Mailbox::Contents contents) {
  for (std::size_t index : contents.changedServices) {
    if (index < services_.size()) printAttributes(index);
  }
  for (const Mailbox::RaisedEvent& event : contents.events) {
    if (event.service < services_.size()) {
      const std::string& key = services_[event.service]->key();
      print(eventLine(key, event.event, event.time), eventText(key, event.event, event.time));
    }
  }
  for (const std::string& line : contents.lines) {
    try {
      if (!handleLine(line)) return false;
    } catch (const std::exception& error) {
      printError(oneLine(error.what()));
    }
  }
  return true;
}

void HostRunner::printAttributes(std::size_t service) {
  if (options_.format == OutputFormat::kJson) {
    if (auto line = services_[service]->changedAttributesLine()) out_.write(*line);
    return;
  }
  std::string line = statusTexts_[service].line(services_[service]->readAttributes());
  if (line != lastStatusTexts_[service]) {
    lastStatusTexts_[service] = line;
    out_.write(line);
  }
  // The lines for peers again, now that they work: the first ones have scrolled away meanwhile.
  if (statusTexts_[service].servingForTheFirstTime() && !helpText_.empty()) out_.write(helpText_);
}

void HostRunner::print(const std::string& jsonLine, const std::string& textLine) {
  out_.write(options_.format == OutputFormat::kJson ? jsonLine : textLine);
}

void HostRunner::printError(const std::string& message) { print(errorLine(message), errorText(message)); }

void HostRunner::printHelp() {
  const std::string commands = "host commands: read PATH | write PATH VALUE | reconnect | help | quit";
  const std::string text = helpText_.empty() ? commands : helpText_ + "\n" + commands;
  print(helpLine(text), text);
}

void HostRunner::runReconnectTasks() {
  for (const auto& service : services_) service->runReconnectTask();
}

bool HostRunner::handleLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // CRLF input
  const std::size_t start = line.find_first_not_of(" \t");
  if (start == std::string_view::npos) return true;
  line.remove_prefix(start);
  auto [command, rest] = splitWord(line);
  if (command == "quit" || command == "reconnect") {
    if (rest.find_first_not_of(" \t") != std::string_view::npos) {
      printError(std::string(command) + " takes no arguments");
      return true;
    }
    if (command == "quit") return false;
    runReconnectTasks();
    print(reconnectLine(services_.size()),
          "reconnect: ran the reconnect task of " + std::to_string(services_.size()) +
              (services_.size() == 1 ? " service" : " services") + " (a connected one stays as it is)");
  } else if (command == "help") {
    printHelp();
  } else if (command == "read") {
    auto [path, extra] = splitWord(rest);
    if (path.empty() || !extra.empty()) {
      printError("usage: read PATH");
    } else {
      readCommand(path);
    }
  } else if (command == "write") {
    auto [path, value] = splitWord(rest);
    if (path.empty() || rest.find(' ') == std::string_view::npos) {
      printError("usage: write PATH VALUE");
    } else {
      writeCommand(path, value);
    }
  } else {
    printError("unknown command \"" + std::string(command) +
               "\" (expected write PATH VALUE, read PATH, reconnect, help or quit)");
  }
  return true;
}

std::optional<HostRunner::ModelAttribute> HostRunner::findModelAttribute(std::string_view path) const {
  // Keys and attribute names may both hold dots: try every split, the longest key first.
  for (std::size_t dot = path.rfind('.'); dot != std::string_view::npos && dot > 0;
       dot = path.rfind('.', dot - 1)) {
    std::shared_ptr<model::Element> element = model_->findElement(path.substr(0, dot));
    if (!element) continue;
    const std::string_view name = path.substr(dot + 1);
    std::optional<model::Attribute> found;
    element->forEachAttribute([&](const model::Attribute& attribute) {
      if (attribute.name() != name) return false;
      found = attribute;
      return true;
    });
    if (found) return ModelAttribute{element->primaryKey(), std::string(name), std::move(element), *found};
  }
  return std::nullopt;
}

void HostRunner::readCommand(std::string_view path) {
  std::optional<data::Value> value;
  if (std::optional<ModelAttribute> attribute = findModelAttribute(path)) {
    utils::Expected<data::Value> read = model_->readValue(attribute->primaryKey, attribute->name);
    if (!read) {
      printError("read " + std::string(path) + ": " + read.error().message());
      return;
    }
    value = std::move(*read);
  } else {
    // The service elements' own attributes: "<service key>.<attribute>".
    for (const auto& service : services_) {
      const std::string& key = service->key();
      if (path.size() > key.size() + 1 && path.starts_with(key) && path[key.size()] == '.') {
        value = service->readAttribute(path.substr(key.size() + 1));
        if (value) break;
      }
    }
  }
  if (!value) {
    printError("read " + std::string(path) + ": no such attribute");
    return;
  }
  std::optional<std::string> text = valueText(*value);
  if (!text) {
    printError("read " + std::string(path) + ": the attribute's type has no value text");
    return;
  }
  print(valueLine(path, *text), readAnswerText(path, *text));
}

void HostRunner::writeCommand(std::string_view path, std::string_view text) {
  std::optional<ModelAttribute> attribute = findModelAttribute(path);
  if (!attribute) {
    printError("write " + std::string(path) + ": no such attribute");
    return;
  }
  const data::NativeType type = attribute->element->attributeWriteHandle(attribute->definition).nativeType();
  const bool isText = type == data::NativeType::kString || type == data::NativeType::kText ||
                      type == data::NativeType::kPath || type == data::NativeType::kName ||
                      type == data::NativeType::kJson;
  if (!isText) {
    // Stray blanks around a number or name are no part of it; texts keep the whole rest of the line.
    const std::size_t first = text.find_first_not_of(" \t");
    text = first == std::string_view::npos ? std::string_view()
                                           : text.substr(first, text.find_last_not_of(" \t") - first + 1);
  }
  data::Value value;
  try {
    value = parseValueText(type, text);
  } catch (const std::invalid_argument& error) {
    printError("write " + std::string(path) + ": " + error.what());
    return;
  }
  // The host's own write: access modes do not apply, change handlers hear of it.
  const std::string written = valueText(value).value_or(std::string(text));
  if (const std::error_code error =
          model_->setValue(attribute->primaryKey, attribute->name, std::move(value))) {
    printError("write " + std::string(path) + ": " + error.message());
    return;
  }
  print(writtenLine(path, written), "wrote " + std::string(path) + " = " + written);
}

}  // namespace ormanta::apps
