#include "commands/SubscribeCommand.h"

#include <charconv>

#include "plugin/Handlers.h"
#include "plugin/Service.h"

namespace ormanta::plugins::TulService {

std::int64_t parseSamplingInterval(std::string_view text) noexcept {
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() ? value : 0;
}

void handleSubscribe(CommandConnectionHandler& handler, CommandStream& stream, const Command& command) {
  const auto id = command.fields.find("subscriptionId");
  const auto interval = command.fields.find("samplingInterval");
  if (id == command.fields.end() || interval == command.fields.end()) {
    return sendErrorResponse(stream, command.id, "invalid subscribe command received");
  }
  const auto names = command.fields.find("name");
  handler.owner->subscriptionTable().addOrUpdate(
      id->second.front(), parseSamplingInterval(interval->second.front()), handler.maxWaitMs,
      names == command.fields.end() ? std::vector<std::string>() : names->second);
  sendSuccessResponse(stream, command.id);
}

}  // namespace ormanta::plugins::TulService
