#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <unordered_map>
#include <vector>

#include "commands/CommandProtocol.h"
#include "commands/CommandStreamClears.h"
#include "commands/SubscriptionTable.h"
#include "ormanta/process/Event.h"
#include "ormanta/process/Task.h"
#include "ormanta/skill/Element.h"
#include "ormanta/skill/EnableSharedFromThis.h"
#include "ormanta/utils/io/StopSource.h"
#include "plugin/Handlers.h"
#include "publishing/Channel.h"
#include "publishing/ServiceStatus.h"
#include "redis/ConnectionSecurity.h"

namespace ormanta::plugins::TulService {

class Channel;

// Member path (as the subscribers gave it) to the channel that watches that member.
using ChannelMap = std::unordered_map<std::string, std::shared_ptr<Channel>>;
using ChannelList = std::vector<std::shared_ptr<Channel>>;

// The service element: makes the host's model available to peers through a Redis server.
//
// Threads: the host's lifecycle thread calls the lifecycle operations; host threads read the
// attributes, enumerate and run the reconnect task; four workers (data, command,
// registration, supervisor) run between prepare and cleanup and see each other only through
// the handlers' mirrors, their wakeup condition variables, the two stop sources and the
// channel state below. address, serviceName and security are written by loadConfiguration
// only and are constant while workers run.
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
  // reconnect task's second step, also taken by the data worker once it is connected).
  void requestCommandConnection() noexcept;

  std::string address;      // configuration "address": host text of the Redis server
  std::string serviceName;  // configuration "serviceName"
  // Configuration "username", "password", "tls", "tlsCaFile", "tlsCertFile", "tlsKeyFile",
  // "tlsServerName"; each connection attempt copies it. Shown by no attribute.
  ConnectionSecurity security;
  // Configuration "commandMaxAgeMs" and "responseRetentionMs".
  CommandLimits commandLimits;
  process::Event connectedEvent;     // raised by the supervisor only
  process::Event disconnectedEvent;  // raised by the supervisor only
  ReconnectTask reconnectTask{*this};
  utils::io::StopSource ioStopSource;       // data and registration sockets; requested on their stop
  utils::io::StopSource commandStopSource;  // command socket; requested on any connection failure
  // Clears of the command stream by registration runs: advanced by the registration worker,
  // read by the command worker (the hand-off is documented in CommandStreamClears.h).
  CommandStreamClears commandStreamClears;
  // Completed registration runs, told by the registration worker to the data worker for the
  // status key (the hand-off is documented in publishing/ServiceStatus.h).
  RegistrationStamps registrationStamps;
  std::unique_ptr<DataConnectionHandler> dataHandler;
  std::unique_ptr<CommandConnectionHandler> commandHandler;
  std::unique_ptr<RegistrationHandler> registrationHandler;
  std::unique_ptr<ConnectionSupervisor> supervisor;
  // Channel state shared by the command worker (writer of channelMap), the host's change
  // callbacks and the data worker (reader).
  std::atomic<bool> changesPending{false};    // set by change callbacks; collapses releases
  std::counting_semaphore<> sampleSignal{0};  // released per batch of changes; acquired by the data worker
  std::mutex channelMutex;                    // guards channelMap and every channel's subscribers
  ChannelMap channelMap{8};                   // written by updateChannels only
  ChangedChannels changedChannels;            // pushed by change callbacks, emptied by the data worker
  ChannelList retiredChannels;     // guarded by channelMutex; left the map, freed by the data worker
  ChannelList sampleQueue;         // data worker only: changed channels not yet published
  std::size_t refusedStreams = 0;  // data worker only: queued channels whose stream the server refused
  SubscriptionTable subscriptionTable{*this};  // command worker only

 protected:
  bool forEachAttributeInternal(model::ForEachAttributeFunction function) const override;
  std::optional<data::ReadHandle> makeReadHandle(const model::Attribute& attribute) const override;

 private:
  void stopWorkers() noexcept;
};

}  // namespace ormanta::plugins::TulService
