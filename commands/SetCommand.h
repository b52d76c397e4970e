#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include "commands/CommandProtocol.h"
#include "ormanta/data/Handles.h"

namespace ormanta::plugins::TulService {

class CommandConnectionHandler;

// Handles one "set" command: writes each named member in order, echoes each written text to
// the member's value stream, and sends the one response. Refusals stop at the failing pair
// (earlier pairs stay written). Connection failures propagate. Command worker thread.
void handleSet(CommandConnectionHandler& handler, CommandChannel& channel, const Command& command);
// handleSet for first and, when first and the commands queued behind it in channel are sets of
// one name and one value, for those too (up to CommandChannel::kResponseBatch in all): their
// values are written in stream order, their echoes go out in one pipelined round trip instead
// of one each, and each command gets the response it would get alone.
void handleSets(CommandConnectionHandler& handler, CommandChannel& channel, const Command& first);

// A refusal that quotes peer input. Its text may hold zero bytes, at which what() would end
// it: responses take text() instead.
class SetRefusal : public std::runtime_error {
 public:
  explicit SetRefusal(const std::string& text) : std::runtime_error(text), text_(text) {}
  const std::string& text() const noexcept { return text_; }

 private:
  std::string text_;
};

// Converts and writes one value; throws SetRefusal as applySetValue does.
void writeSetValue(std::string_view name, std::string_view value, const data::WriteHandle& handle);

// Converts and writes one value, then echoes it. Every refusal (a text that does not convert,
// a type that cannot be written, the host's write error, the server's error reply to the echo)
// throws SetRefusal with the response's text; any other exception is a connection failure.
void applySetValue(CommandChannel& channel, std::string_view name, std::string_view value,
                   const data::WriteHandle& handle);

enum class WriteOutcome {
  kWritten,       // the whole text converted, and the value written
  kNotConverted,  // the text is not (as a whole) a value of the member's type; nothing written
};

// Converts text to the handle's native type and writes it. Throws std::runtime_error for
// types that cannot be written and for a failed write.
WriteOutcome writeTextValue(std::string_view text, const data::WriteHandle& handle);

// Throws "Error writing to a Ormanta data point: <message>" unless the write succeeded.
void checkWriteResult(const std::error_code& result);

// Peer text as an error message quotes it (a name, a value): unchanged up to
// kQuotedInputLimit bytes; a longer text is cut to at most that many bytes, at the start of
// a UTF-8 sequence when the cut would split one, and marked by an appended "…" (U+2026).
// Without the cut a 64 MiB value that does not convert would come back as a 64 MiB response.
inline constexpr std::size_t kQuotedInputLimit = 256;
std::string quotedInput(std::string_view text);

}  // namespace ormanta::plugins::TulService
