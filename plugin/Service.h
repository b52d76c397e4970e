#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "commands/CommandProtocol.h"
#include "commands/CommandStreamClears.h"
#include "commands/SubscriptionTable.h"
#include "ormanta/process/Event.h"
#include "ormanta/process/Task.h"
#include "ormanta/skill/Element.h"
#include "ormanta/skill/EnableSharedFromThis.h"
#include "ormanta/utils/io/StopSource.h"
#include "plugin/Handlers.h"
#include "publishing/Channels.h"
#include "publishing/ServiceStatus.h"
#include "redis/ConnectionSecurity.h"
#include "redis/SentinelWatcher.h"
#include "redis/ServerLocator.h"

namespace ormanta::plugins::TulService {

// The service element: makes the host's model available to peers through a Redis server.
//
// Threads: the host's lifecycle thread calls the lifecycle operations; host threads read the
// attributes, enumerate and run the reconnect task; four workers (data, command, registration,
// supervisor) run between prepare and cleanup. They see each other only through what the
// accessors below hand out, each documented with who uses it:
// - the configuration, written by loadConfiguration only, constant while workers run;
// - the handlers (their mirrors, wakeup condition variables and the data handler's probe),
//   made by realize and replaced only while no worker runs;
// - the two stop sources, the command stream's clears, the registration stamps and the
//   channels, each thread-safe on its own (see their headers).
class Service final : public skill::Element, public skill::EnableSharedFromThis<Service> {
 public:
  // The host's reconnect task: asks the data connection, and behind it the command
  // connection, to connect again after a failure.
  class ReconnectTask final : public process::Task {
   public:
    explicit ReconnectTask(Service& service) noexcept : service_(&service) {}
    void operational() override;

   private:
    Service* service_;
  };

  static constexpr const char* kDefaultServiceName = "TULOrmantaService";

  Service();
  ~Service() override;

  // skill::Element
  const void* queryExtension(const utils::core::Uuid& extension) const override;
  void loadConfiguration(const utils::json::decoder::Object& configuration,
                         const config::Context& context) override;
  void realize() override;
  void prepare() override;
  void cleanup() override;
  bool forEachEvent(model::ForEachEventFunction function) const override;
  bool forEachTask(model::ForEachTaskFunction function) const override;
  std::int32_t interfaceRevision() const override;

  // Asks the command connection to connect if it is idle and the data connection is up (the
  // reconnect task's second step, also taken by the data worker once it is connected); ends a
  // back-off in progress. Any thread.
  void requestCommandConnection() noexcept;

  // A worker's failure (call inside its catch block): when it means that the server is no
  // longer the primary (READONLY, UNBLOCKED, MASTERDOWN), every connection leaves it. Any worker.
  void reportFailure() noexcept;
  // The server the connections use is no longer the primary (why: what showed it): the command
  // connection stops at once and the data connection fails at its next wake-up, through the
  // usual failure path; the next connect asks the sentinels. Any thread.
  void leavePrimary(const std::string& why) noexcept;

  // ---- configuration ----
  const std::string& address() const noexcept { return address_; }          // "address": the Redis server
  const std::string& serviceName() const noexcept { return serviceName_; }  // "serviceName"
  // "username", "password", "tls", "tlsCaFile", "tlsCertFile", "tlsKeyFile", "tlsServerName";
  // each connection attempt copies it. Shown by no attribute.
  const ConnectionSecurity& security() const noexcept { return security_; }
  // Where the server is: "address"; or "sentinels" and "sentinelMaster" (with "sentinelUsername"
  // and "sentinelPassword"); or "cluster" with seed nodes in "address". Configured by loadConfiguration;
  // thread-safe otherwise (see its header).
  ServerLocator& locator() noexcept { return locator_; }
  // "commandMaxAgeMs" and "responseRetentionMs".
  const CommandLimits& commandLimits() const noexcept { return commandLimits_; }

  // ---- what the host sees: raised by the supervisor only; run by the host ----
  process::Event& connectedEvent() noexcept { return connectedEvent_; }
  process::Event& disconnectedEvent() noexcept { return disconnectedEvent_; }
  ReconnectTask& reconnectTask() noexcept { return reconnectTask_; }

  // ---- the handlers: null before realize ----
  DataConnectionHandler* dataHandler() const noexcept { return dataHandler_.get(); }
  CommandConnectionHandler* commandHandler() const noexcept { return commandHandler_.get(); }
  RegistrationHandler* registrationHandler() const noexcept { return registrationHandler_.get(); }
  ConnectionSupervisor* supervisor() const noexcept { return supervisor_.get(); }

  // ---- shared by the workers ----
  // The data and registration sockets' stop: requested on their stop.
  utils::io::StopSource& ioStopSource() noexcept { return ioStopSource_; }
  // The command socket's stop: requested on any connection failure.
  utils::io::StopSource& commandStopSource() noexcept { return commandStopSource_; }
  // Clears of the command stream by registration runs, for the command worker.
  CommandStreamClears& commandStreamClears() noexcept { return commandStreamClears_; }
  // Data connections and their registration runs, for the data and command workers.
  RegistrationStamps& registrationStamps() noexcept { return registrationStamps_; }
  // The subscribed members' channels: the command worker changes them, host threads report
  // changes through them, the data worker publishes them.
  Channels& channels() noexcept { return channels_; }
  // The subscriptions: command worker only (and the destructor, once no worker runs).
  SubscriptionTable& subscriptionTable() noexcept { return subscriptionTable_; }

 protected:
  bool forEachAttributeInternal(model::ForEachAttributeFunction function) const override;
  std::optional<data::ReadHandle> makeReadHandle(const model::Attribute& attribute) const override;

 private:
  void stopWorkers() noexcept;

  std::string address_;
  std::string serviceName_;
  ConnectionSecurity security_;
  CommandLimits commandLimits_;
  ServerLocator locator_;
  // Runs between prepare and cleanup when the service uses sentinels.
  SentinelWatcher sentinelWatcher_{locator_, [this](const std::string& primary, const std::string& why) {
                                     if (primary != locator_.currentAddress()) leavePrimary(why);
                                   }};
  process::Event connectedEvent_;
  process::Event disconnectedEvent_;
  ReconnectTask reconnectTask_{*this};
  utils::io::StopSource ioStopSource_;
  utils::io::StopSource commandStopSource_;
  CommandStreamClears commandStreamClears_;
  RegistrationStamps registrationStamps_;
  // Declared before the handlers, so that the workers (stopped by the handlers' destructors)
  // are gone before the channels.
  Channels channels_;
  std::unique_ptr<DataConnectionHandler> dataHandler_;
  std::unique_ptr<CommandConnectionHandler> commandHandler_;
  std::unique_ptr<RegistrationHandler> registrationHandler_;
  std::unique_ptr<ConnectionSupervisor> supervisor_;
  SubscriptionTable subscriptionTable_{*this};
};

}  // namespace ormanta::plugins::TulService
