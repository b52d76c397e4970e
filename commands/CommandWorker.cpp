#include "commands/CommandWorker.h"

#include "plugin/StatePublishing.h"

namespace ormanta::plugins::TulService {

void runCommandWorker(CommandConnectionHandler& handler, std::stop_token stop,
                      utils::lockFree::ConditionVariable::Tracker tracker) {
  while (!stop.stop_requested()) handler.wakeup.wait(tracker);
  publishConnectionDown(handler, connectionError(ConnectionErrorCategory::kNotEstablished));
}

}  // namespace ormanta::plugins::TulService
