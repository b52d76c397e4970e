#include "plugin/Service.h"

#include <charconv>
#include <cstddef>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "ormanta/config/Config.h"
#include "plugin/Attributes.h"
#include "publishing/Channel.h"

namespace ormanta::plugins::TulService {

void Service::ReconnectTask::operational() {
  Service& service = *service_;
  DataConnectionHandler* data = service.dataHandler();
  if (data == nullptr) return;
  std::int32_t idle = kPhaseIdle;
  if (data->phase.compare_exchange_strong(idle, kPhaseConnectRequested)) data->wakeup.notify_all();
  service.requestCommandConnection();
  // A failed registration run is tried again while the data connection is up; a new data
  // connection registers anyway.
  RegistrationHandler* registration = service.registrationHandler();
  if (registration && data->phase.load() == kPhaseConnected && registration->runFailed.exchange(false)) {
    registration->wakeup.notify_all();
  }
}

Service::Service() = default;

Service::~Service() { stopWorkers(); }

void Service::requestCommandConnection() noexcept {
  if (!commandHandler_ || !dataHandler_) return;
  if (dataHandler_->phase.load() != kPhaseConnected) return;
  std::int32_t idle = kPhaseIdle;
  if (commandHandler_->phase.compare_exchange_strong(idle, kPhaseConnectRequested)) {
    commandHandler_->retryNow.release();  // ends a back-off in progress
    commandHandler_->wakeup.notify_all();
  }
}

void Service::reportFailure() noexcept {
  try {
    throw;
  } catch (const RedisError& error) {
    if (locator_.report(error)) leavePrimary(error.what());
  } catch (...) {
  }
}

void Service::leavePrimary(const std::string& why) noexcept {
  locator_.forgetCurrent();
  // Responses stop before the next one is written; values at the data worker's next wake-up.
  commandStopSource_.requestStop();
  try {
    if (dataHandler_) dataHandler_->failOver("the server is no longer the primary: " + why);
  } catch (const std::bad_alloc&) {
    // Without the text the data worker is not told; READONLY ends its connection later.
  }
}

namespace {

// The texts of one configuration, before they are checked.
struct ConfigurationTexts {
  std::string address;
  std::string serviceName;
  ConnectionSecurity security;
  std::string tls = "false";
  std::string cluster = "false";
  std::string commandMaxAgeMs;
  std::string responseRetentionMs;
  std::string sentinels;
  SentinelSettings sentinel;
};

// Where the text of a configuration key goes; null for a key the service does not know.
std::string* configurationTarget(std::string_view name, ConfigurationTexts& texts) {
  ConnectionSecurity& security = texts.security;
  if (name == "address") return &texts.address;
  if (name == "serviceName") return &texts.serviceName;
  if (name == "commandMaxAgeMs") return &texts.commandMaxAgeMs;
  if (name == "responseRetentionMs") return &texts.responseRetentionMs;
  if (name == "username") return &security.username;
  if (name == "password") return &security.password;
  if (name == "tls") return &texts.tls;
  if (name == "cluster") return &texts.cluster;
  if (name == "tlsCaFile") return &security.tlsCaFile;
  if (name == "tlsCertFile") return &security.tlsCertFile;
  if (name == "tlsKeyFile") return &security.tlsKeyFile;
  if (name == "tlsServerName") return &security.tlsServerName;
  if (name == "sentinels") return &texts.sentinels;
  if (name == "sentinelMaster") return &texts.sentinel.master;
  if (name == "sentinelUsername") return &texts.sentinel.username;
  if (name == "sentinelPassword") return &texts.sentinel.password;
  return nullptr;
}

// A duration key: whole milliseconds from 1 to a day, as a JSON number or a decimal text; an
// absent key keeps its default.
std::int64_t parseMilliseconds(const char* key, const std::string& text, std::int64_t defaultMs) {
  if (text.empty()) return defaultMs;
  constexpr std::int64_t kDayMs = 86'400'000;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > kDayMs) {
    throw std::invalid_argument(std::string("configuration \"") + key +
                                "\" must be a whole number of milliseconds from 1 to 86400000, not \"" +
                                text + "\"");
  }
  return value;
}

// The text of a configuration value: a string as it stands, a number (for the duration keys)
// in decimal.
void readText(const utils::json::decoder::Value& value, std::string_view name, std::string& target) {
  target.clear();
  if (value.kind() == utils::json::decoder::Kind::kNumber &&
      (name == "commandMaxAgeMs" || name == "responseRetentionMs")) {
    target = std::to_string(value.asInt64());
    return;
  }
  utils::json::decoder::String text = value.asString();
  target.reserve(text.size());
  for (char c; text.read(c);) target.push_back(c);
}

bool parseFlag(std::string_view key, const std::string& text) {
  if (text == "true") return true;
  if (text == "false") return false;
  throw std::invalid_argument("configuration \"" + std::string(key) +
                              "\" must be \"true\" or \"false\", not \"" + text + "\"");
}

// Settings that cannot mean what their writer wanted fail the load; none of the texts below
// holds a value, so the password cannot leak through them.
void checkSecurity(const ConnectionSecurity& security) {
  if (!security.username.empty() && security.password.empty()) {
    throw std::invalid_argument("configuration \"username\" needs a \"password\"");
  }
  if (security.tlsCertFile.empty() != security.tlsKeyFile.empty()) {
    throw std::invalid_argument(security.tlsCertFile.empty()
                                    ? "configuration \"tlsKeyFile\" needs a \"tlsCertFile\""
                                    : "configuration \"tlsCertFile\" needs a \"tlsKeyFile\"");
  }
  // A TLS setting without TLS would connect in plain text where its writer expects TLS.
  const std::pair<const char*, const std::string*> tlsSettings[] = {
      {"tlsCaFile", &security.tlsCaFile},
      {"tlsCertFile", &security.tlsCertFile},
      {"tlsKeyFile", &security.tlsKeyFile},
      {"tlsServerName", &security.tlsServerName}};
  for (const auto& [key, value] : tlsSettings) {
    if (!security.tls && !value->empty()) {
      throw std::invalid_argument(std::string("configuration \"") + key + "\" needs \"tls\": \"true\"");
    }
  }
}

// The sentinels, when "sentinels" and "sentinelMaster" are both set; none of the texts below
// holds a password.
std::optional<SentinelSettings> sentinelSettings(ConfigurationTexts& texts) {
  SentinelSettings& settings = texts.sentinel;
  if (texts.sentinels.empty() != settings.master.empty()) {
    throw std::invalid_argument(texts.sentinels.empty()
                                    ? "configuration \"sentinelMaster\" needs \"sentinels\""
                                    : "configuration \"sentinels\" needs a \"sentinelMaster\"");
  }
  if (!settings.username.empty() && settings.password.empty()) {
    throw std::invalid_argument("configuration \"sentinelUsername\" needs a \"sentinelPassword\"");
  }
  if (texts.sentinels.empty()) {
    if (!settings.password.empty()) {
      throw std::invalid_argument("configuration \"sentinelPassword\" needs \"sentinels\"");
    }
    return std::nullopt;
  }
  settings.addresses = SentinelSettings::parseAddresses(texts.sentinels);
  return std::move(settings);
}

}  // namespace

const void* Service::queryExtension(const utils::core::Uuid&) const { return nullptr; }

std::int32_t Service::interfaceRevision() const { return skill::kInterfaceRevision; }

void Service::loadConfiguration(const utils::json::decoder::Object& configuration, const config::Context&) {
  // Read into copies first: a configuration that fails half-way leaves the element as it was.
  ConfigurationTexts texts;
  for (auto cursor = configuration.begin(); cursor != configuration.end(); configuration.step(cursor)) {
    const utils::json::decoder::Member member = *cursor;
    std::string* target = configurationTarget(member.name(), texts);
    if (target == nullptr) config::throwUnknownParameterError(member.name());
    // A key given twice takes its last value.
    readText(member.value(), member.name(), *target);
  }
  texts.security.tls = parseFlag("tls", texts.tls);
  const bool cluster = parseFlag("cluster", texts.cluster);
  checkSecurity(texts.security);
  std::optional<SentinelSettings> sentinels = sentinelSettings(texts);
  const CommandLimits limits{
      parseMilliseconds("commandMaxAgeMs", texts.commandMaxAgeMs, CommandLimits::kDefaultMaxAgeMs),
      parseMilliseconds("responseRetentionMs", texts.responseRetentionMs,
                        CommandLimits::kDefaultResponseRetentionMs)};
  if (texts.serviceName.empty()) texts.serviceName = kDefaultServiceName;
  locator_.configure(texts.address, texts.security, std::move(sentinels), cluster);
  address_ = std::move(texts.address);
  serviceName_ = std::move(texts.serviceName);
  security_ = std::move(texts.security);
  commandLimits_ = limits;
}

void Service::realize() {
  // Handlers are replaced only when no worker runs: a running worker reaches into the others.
  stopWorkers();
  supervisor_ = std::make_unique<ConnectionSupervisor>(*this);
  registrationHandler_ = std::make_unique<RegistrationHandler>(*this);
  commandHandler_ = std::make_unique<CommandConnectionHandler>(*this);
  dataHandler_ = std::make_unique<DataConnectionHandler>(*this);
}

void Service::prepare() {
  if (!supervisor_ || !registrationHandler_ || !commandHandler_ || !dataHandler_) {
    throw std::logic_error("the service element must be realized before it is prepared");
  }
  // A second prepare without cleanup: every worker is stopped first, in cleanup's order. Each
  // stop requests ioStopSource and leaves the data phase idle, so neither may come after the
  // reset below, or the new data worker would wait for a reconnect task that never comes.
  stopWorkers();
  // Stops requested before (by cleanup, or just now) must not end the new workers' sockets.
  ioStopSource_.reset();
  // Serving starts with the data connection, as on a fresh element; the command connection
  // follows it.
  dataHandler_->phase.store(kPhaseConnectRequested);
  commandHandler_->phase.store(kPhaseIdle);
  supervisor_->start();
  registrationHandler_->start();
  dataHandler_->start();
  commandHandler_->start();
  if (locator_.usesSentinels()) sentinelWatcher_.start();
}

void Service::cleanup() { stopWorkers(); }

void Service::stopWorkers() noexcept {
  // First: its announcements reach into the handlers.
  sentinelWatcher_.stop();
  if (dataHandler_) dataHandler_->stop();
  if (commandHandler_) commandHandler_->stop();
  if (registrationHandler_) registrationHandler_->stop();
  if (supervisor_) supervisor_->stop();
}

bool Service::forEachAttributeInternal(model::ForEachAttributeFunction function) const {
  for (const model::Attribute& attribute : serviceAttributes()) {
    if (function(attribute)) return true;
  }
  return false;
}

bool Service::forEachEvent(model::ForEachEventFunction function) const {
  if (function(process::Event::kConnected, sharedMember(const_cast<process::Event&>(connectedEvent_))))
    return true;
  return function(process::Event::kDisconnected,
                  sharedMember(const_cast<process::Event&>(disconnectedEvent_)));
}

bool Service::forEachTask(model::ForEachTaskFunction function) const {
  return function(process::Task::kReconnect,
                  sharedMember(static_cast<process::Task&>(const_cast<ReconnectTask&>(reconnectTask_))));
}

namespace {

template <class Record>
data::ReadHandle errorHandle(const memory::MemoryBlock& block) {
  return data::ReadHandle(block.handle(offsetof(Record, error)), data::NativeType::kErrorCode);
}

data::ReadHandle flagHandle(const memory::MemoryBlock& block, std::size_t offset) {
  return data::ReadHandle(block.handle(offset), data::NativeType::kBool);
}

}  // namespace

std::optional<data::ReadHandle> Service::makeReadHandle(const model::Attribute& attribute) const {
  const auto& definitions = serviceAttributes();
  std::size_t index = 0;
  while (index < definitions.size() && !(definitions[index] == attribute)) ++index;
  if (index == definitions.size()) return std::nullopt;

  // Before realize there are no records to read: such handles report an error.
  switch (static_cast<ServiceAttribute>(index)) {
    case ServiceAttribute::kAddress:
      return data::ReadHandle(std::shared_ptr<const std::string>(sharedMember(address_)));
    case ServiceAttribute::kServiceName:
      return data::ReadHandle(std::shared_ptr<const std::string>(sharedMember(serviceName_)));
    case ServiceAttribute::kCommandConnectionError:
      return commandHandler_ ? errorHandle<CommandConnectionState>(commandHandler_->state)
                             : data::ReadHandle();
    case ServiceAttribute::kCommandConnectionState:
      return commandHandler_ ? flagHandle(commandHandler_->state, offsetof(CommandConnectionState, connected))
                             : data::ReadHandle();
    case ServiceAttribute::kDataConnectionError:
      return dataHandler_ ? errorHandle<DataConnectionState>(dataHandler_->state) : data::ReadHandle();
    case ServiceAttribute::kDataConnectionState:
      return dataHandler_ ? flagHandle(dataHandler_->state, offsetof(DataConnectionState, connected))
                          : data::ReadHandle();
    case ServiceAttribute::kServiceRegistrationError:
      return registrationHandler_ ? errorHandle<RegistrationState>(registrationHandler_->state)
                                  : data::ReadHandle();
    case ServiceAttribute::kIsServiceRegistered:
      return registrationHandler_
                 ? flagHandle(registrationHandler_->state, offsetof(RegistrationState, registered))
                 : data::ReadHandle();
    case ServiceAttribute::kError:
      return supervisor_ ? errorHandle<GeneralConnectionState>(supervisor_->state) : data::ReadHandle();
    case ServiceAttribute::kState:
      return supervisor_ ? flagHandle(supervisor_->state, offsetof(GeneralConnectionState, connected))
                         : data::ReadHandle();
    case ServiceAttribute::kPublishingError:
      return dataHandler_ ? errorHandle<PublishingState>(dataHandler_->publishing) : data::ReadHandle();
    case ServiceAttribute::kPrimaryAddress:
      // A handle over a constant text: the address as it is now. It changes only when the data
      // connection does, whose state attribute tells the host to read it again.
      return data::ReadHandle(std::make_shared<const std::string>(locator_.currentAddress()));
  }
  return std::nullopt;
}

}  // namespace ormanta::plugins::TulService
