#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/JsonLines.h"
#include "host/Mailbox.h"
#include "ormanta/host/Model.h"
#include "ormanta/process/EventHandler.h"
#include "ormanta/skill/Element.h"
#include "ormanta/skill/ElementAllocator.h"
#include "ormanta/skill/Skill.h"

namespace ormanta::apps {

// One service element as the host runs it: made through the skill, bound to the model under
// its key, configured, realized and prepared; its attribute changes and events are posted to
// the mailbox. Main thread only; the change handler and the observers run on the plug-in's
// threads and only post.
class HostedService {
 public:
  // Creates and binds the element and loads its configuration (a JSON object text). Throws
  // what the element throws (std::invalid_argument for an unknown parameter, for instance).
  HostedService(std::size_t index, std::string key, skill::Skill& skill,
                const skill::Element::Class& elementClass, skill::ElementAllocator& allocator,
                const host::Model& model, std::string_view configuration, Mailbox& mailbox);
  ~HostedService();
  HostedService(const HostedService&) = delete;
  HostedService& operator=(const HostedService&) = delete;

  // realize and postRealize, then watching starts; prepare and postPrepare.
  void realize();
  void prepare();
  // preCleanup and cleanup; watching stops. Idempotent.
  void cleanup();

  void runReconnectTask();

  const std::string& key() const noexcept { return key_; }
  // All attributes, in the element's order.
  std::vector<NamedValue> readAttributes() const;
  // The attributes line if it differs from the last one returned (always the first time).
  std::optional<std::string> changedAttributesLine();
  // The value of one of the element's attributes by name; empty if it has none.
  std::optional<data::Value> readAttribute(std::string_view name) const;

 private:
  class ChangeWatcher final : public process::EventHandler {
   public:
    ChangeWatcher(Mailbox& mailbox, std::size_t index) : mailbox_(mailbox), index_(index) {}
    void onChange() override {}
    void afterChanges() override { mailbox_.postAttributesChanged(index_); }

   private:
    Mailbox& mailbox_;
    std::size_t index_;
  };

  void startWatching();
  void stopWatching();

  std::size_t index_;
  std::string key_;
  std::shared_ptr<skill::Element> element_;
  Mailbox& mailbox_;
  std::unique_ptr<ChangeWatcher> watcher_;
  std::vector<data::ReadHandle> watchedHandles_;
  std::vector<std::pair<std::shared_ptr<process::Event>, std::uint64_t>> observers_;
  std::string lastAttributesLine_;
  bool prepared_ = false;
  bool cleanedUp_ = false;
};

}  // namespace ormanta::apps
