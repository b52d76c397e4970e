#include "plugin/ConnectionSupervision.h"

#include "plugin/Service.h"
#include "plugin/StatePublishing.h"

namespace ormanta::plugins::TulService {
namespace {

// Only value 0 of our own category is good: a code of any other category, even value 0 of
// the system category (the mirrors' initial value), means the connection has never been up.
bool isGood(const std::error_code& code) noexcept {
  return code == connectionError(ConnectionErrorCategory::kNoError);
}

}  // namespace

void runConnectionSupervisor(ConnectionSupervisor& supervisor, std::stop_token stop,
                             utils::lockFree::ConditionVariable::Tracker tracker) {
  Service& service = *supervisor.owner;
  std::uint64_t commandOutages = service.commandHandler()->outages.load();
  std::uint64_t dataOutages = service.dataHandler()->outages.load();
  for (;;) {
    if (stop.stop_requested()) return;
    supervisor.wakeup.wait(tracker);
    if (stop.stop_requested()) return;

    // Read before the flags: an outage counted here has already cleared its flag.
    int outages = 0;
    const std::uint64_t commandCount = service.commandHandler()->outages.load();
    const std::uint64_t dataCount = service.dataHandler()->outages.load();
    if (commandCount != commandOutages) outages |= GeneralConnectionErrorCategory::kCommandDown;
    if (dataCount != dataOutages) outages |= GeneralConnectionErrorCategory::kDataDown;
    commandOutages = commandCount;
    dataOutages = dataCount;
    const std::error_code commandCode = service.commandHandler()->lastErrorCopy();
    const bool commandConnected = service.commandHandler()->connected.load();
    const std::error_code dataCode = service.dataHandler()->lastErrorCopy();
    const bool dataConnected = service.dataHandler()->connected.load();

    int general = GeneralConnectionErrorCategory::kNoError;
    if (!isGood(dataCode)) general |= GeneralConnectionErrorCategory::kDataDown;
    if (!isGood(commandCode)) general |= GeneralConnectionErrorCategory::kCommandDown;
    publishGeneralState(supervisor, generalConnectionError(general), commandConnected && dataConnected,
                        outages);
  }
}

}  // namespace ormanta::plugins::TulService
