#pragma once

#include <cstdint>
#include <string_view>

#include "commands/CommandProtocol.h"

namespace ormanta::plugins::TulService {

class CommandConnectionHandler;

// Handles one "subscribe" command: adds or renews the lease of its subscription ID in the
// service's subscription table and answers "success" (also for names that do not exist).
// Command worker thread.
void handleSubscribe(CommandConnectionHandler& handler, CommandStream& stream, const Command& command);

// A "samplingInterval" text: an optional "-" and digits read as a signed 32-bit number up to
// the first other character; a text without digits, or out of range, counts as 0.
std::int64_t parseSamplingInterval(std::string_view text) noexcept;

}  // namespace ormanta::plugins::TulService
