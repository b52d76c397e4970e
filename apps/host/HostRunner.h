#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/CommandLine.h"
#include "host/HostedService.h"
#include "host/JsonLines.h"
#include "host/Mailbox.h"
#include "host/Simulator.h"
#include "host/TextLines.h"
#include "ormanta/host/Host.h"
#include "ormanta/host/Model.h"
#include "ormanta/host/PluginLibrary.h"
#include "ormanta/skill/Skill.h"

namespace ormanta::apps {

// A start that cannot go on: bad plug-in, model file or configuration. Its message names the
// problem in one line.
class StartupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The host process: loads the plug-in, builds the model, runs the service elements, the
// reconnect schedule and the simulation, and answers commands. Everything but the mailbox's
// producers runs on the thread that calls start(), run() and stop().
class HostRunner {
 public:
  using Clock = std::chrono::steady_clock;

  HostRunner(Options options, std::ostream& out);
  // Stops what is still running: cleanup, elements, skill, then the plug-in module.
  ~HostRunner();
  HostRunner(const HostRunner&) = delete;
  HostRunner& operator=(const HostRunner&) = delete;

  // Loads, builds, configures, realizes and prepares; prints the initial attributes. Throws
  // StartupError; what was started is stopped by stop() or the destructor.
  void start();
  // Serves until "quit" arrives or stopRequested is set (checked at least every 100 ms).
  void run(const std::atomic<bool>& stopRequested);
  // Cleans up every service element (printing their last attribute changes), destroys them,
  // the skill, and unloads the module. Idempotent.
  void stop();

  // Handles one command line; false for "quit".
  bool handleLine(std::string_view line);

  // Standard input lines go here (from any thread).
  const std::shared_ptr<Mailbox>& mailbox() const noexcept { return mailbox_; }

 private:
  struct ModelAttribute {
    std::string primaryKey;
    std::string name;
    std::shared_ptr<model::Element> element;
    model::Attribute definition;
  };

  void loadPlugin();
  void buildModel();
  void createServices();
  // False when a "quit" line was among the contents.
  bool deliver(Mailbox::Contents contents);
  void printAttributes(std::size_t service);
  // One line in the chosen format.
  void print(const std::string& jsonLine, const std::string& textLine);
  void printError(const std::string& message);
  void printHelp();
  void runReconnectTasks();

  std::optional<ModelAttribute> findModelAttribute(std::string_view path) const;
  void readCommand(std::string_view path);
  void writeCommand(std::string_view path, std::string_view text);

  Options options_;
  LineWriter out_;
  std::shared_ptr<Mailbox> mailbox_ = std::make_shared<Mailbox>();
  // Declaration order is teardown order reversed: elements go before the skill, the skill
  // before the module, and the allocator outlives every element made in it.
  host::CountingAllocator allocator_;
  std::shared_ptr<host::Model> model_ = host::Model::create();
  std::optional<host::PluginLibrary> library_;
  const skill::Skill::Class* skillClass_ = nullptr;
  const skill::Element::Class* elementClass_ = nullptr;
  std::unique_ptr<skill::Skill> skill_;
  std::vector<std::unique_ptr<HostedService>> services_;
  std::vector<ServiceStatusText> statusTexts_;  // with --format text, one per service
  std::vector<std::string> lastStatusTexts_;
  std::string helpText_;
  std::vector<SimulatedAttribute> simulated_;
  std::optional<Simulator> simulator_;
  bool stopped_ = false;
};

}  // namespace ormanta::apps
