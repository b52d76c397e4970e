#pragma once

#include <string_view>

#include "commands/CommandProtocol.h"
#include "ormanta/data/Handles.h"

namespace ormanta::plugins::TulService {

class CommandConnectionHandler;

// Handles one "set" command: writes each named member in order, echoes each written text to
// the member's value stream, and sends the one response. Refusals stop at the failing pair
// (earlier pairs stay written). Connection failures propagate. Command worker thread.
void handleSet(CommandConnectionHandler& handler, CommandChannel& channel, const Command& command);

// Converts and writes one value, then echoes it; throws std::runtime_error with the text of
// the response on any refusal.
void applySetValue(CommandChannel& channel, std::string_view name, std::string_view value,
                   const data::WriteHandle& handle);

enum class WriteOutcome {
  kWritten,       // converted (perhaps from a leading part of the text) and written
  kNotConverted,  // no value of the member's type could be read from the text; nothing written
};

// Converts text to the handle's native type and writes it. Throws std::runtime_error for
// types that cannot be written and for a failed write.
WriteOutcome writeTextValue(std::string_view text, const data::WriteHandle& handle);

// Throws "Error writing to a Ormanta data point: <message>" unless the write succeeded.
void checkWriteResult(const std::error_code& result);

}  // namespace ormanta::plugins::TulService
