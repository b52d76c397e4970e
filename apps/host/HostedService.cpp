#include "host/HostedService.h"

#include "ormanta/host/Host.h"
#include "ormanta/utils/json/Decoder.h"

namespace ormanta::apps {
namespace {

std::string_view eventName(process::Event::Role role) {
  switch (role) {
    case process::Event::kConnected:
      return "connected";
    case process::Event::kDisconnected:
      return "disconnected";
  }
  return "event";
}

}  // namespace

HostedService::HostedService(std::size_t index, std::string key, skill::Skill& skill,
                             const skill::Element::Class& elementClass, skill::ElementAllocator& allocator,
                             const host::Model& model, std::string_view configuration, Mailbox& mailbox)
    : index_(index), key_(std::move(key)), mailbox_(mailbox) {
  element_ = skill.createElement(elementClass, allocator);
  if (!element_)
    throw std::runtime_error("the skill made no element of class \"" + std::string(elementClass.name()) +
                             "\"");
  model.bind(element_, key_);
  const auto document = utils::json::decoder::Document::parse(configuration);
  element_->loadConfiguration(document.root().asObject(), config::Context(key_));
}

HostedService::~HostedService() { cleanup(); }

void HostedService::realize() {
  element_->realize();
  element_->postRealize();
  startWatching();
}

void HostedService::prepare() {
  prepared_ = true;
  element_->prepare();
  element_->postPrepare();
}

void HostedService::cleanup() {
  if (cleanedUp_ || !element_) return;
  cleanedUp_ = true;
  // Only a prepared element has running workers to stop; the host skips the rest otherwise.
  if (prepared_) {
    element_->preCleanup();
    element_->cleanup();
  }
  stopWatching();
}

void HostedService::startWatching() {
  watcher_ = std::make_unique<ChangeWatcher>(mailbox_, index_);
  element_->forEachAttribute([&](const model::Attribute& attribute) {
    data::ReadHandle handle = element_->attributeReadHandle(attribute);
    // The configured texts cannot be observed; they never change after configuration.
    if (!handle.addChangeHandler(*watcher_)) watchedHandles_.push_back(std::move(handle));
    return false;
  });
  element_->forEachEvent([&](process::Event::Role role, const std::shared_ptr<process::Event>& event) {
    const std::string name(eventName(role));
    const std::uint64_t id = event->addObserver([this, name](utils::chrono::TimePoint time) {
      mailbox_.postEvent({index_, name, time});
    });
    observers_.emplace_back(event, id);
    return false;
  });
}

void HostedService::stopWatching() {
  for (const data::ReadHandle& handle : watchedHandles_) handle.removeChangeHandler(*watcher_);
  watchedHandles_.clear();
  for (auto& [event, id] : observers_) event->removeObserver(id);
  observers_.clear();
}

void HostedService::runReconnectTask() {
  element_->forEachTask([](process::Task::Role, const std::shared_ptr<process::Task>& task) {
    host::runTask(*task);
    return false;
  });
}

std::vector<NamedValue> HostedService::readAttributes() const {
  std::vector<NamedValue> values;
  element_->forEachAttribute([&](const model::Attribute& attribute) {
    utils::Expected<data::Value> value = host::readAttribute(*element_, attribute);
    values.push_back({attribute.name(), value ? *value : data::Value{}, value.hasValue()});
    return false;
  });
  return values;
}

std::optional<std::string> HostedService::changedAttributesLine() {
  std::string line = attributesLine(key_, readAttributes());
  if (line == lastAttributesLine_) return std::nullopt;
  lastAttributesLine_ = line;
  return line;
}

std::optional<data::Value> HostedService::readAttribute(std::string_view name) const {
  std::optional<data::Value> result;
  element_->forEachAttribute([&](const model::Attribute& attribute) {
    if (attribute.name() != name) return false;
    utils::Expected<data::Value> value = host::readAttribute(*element_, attribute);
    if (value) result = *value;
    return true;
  });
  return result;
}

}  // namespace ormanta::apps
