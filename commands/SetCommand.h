#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include "commands/CommandProtocol.h"
#include "ormanta/data/Handles.h"

namespace ormanta::plugins::TulService {

class CommandConnectionHandler;

// Handles first and the "set" commands queued right behind it in stream (up to
// CommandStream::kResponseBatch in all): each command's values are written in order up to its
// first refusal (earlier pairs stay written), then the echoes of every written value go out in
// one pipelined round trip, and each command gets the response it would get alone: its
// refusal, else its first refused echo, else "success". A command that has waited too long is
// refused unrun. Connection failures propagate and leave the echoes and responses owed in
// stream. Command worker thread.
void handleSets(CommandConnectionHandler& handler, CommandStream& stream, const Command& first);

// A refusal that quotes peer input. Its text may hold zero bytes, at which what() would end
// it: responses take text() instead.
class SetRefusal : public std::runtime_error {
 public:
  explicit SetRefusal(const std::string& text) : std::runtime_error(text), text_(text) {}
  const std::string& text() const noexcept { return text_; }

 private:
  std::string text_;
};

// Converts and writes one value. Every refusal (a text that does not convert, a type that
// cannot be written, the host's write error) throws SetRefusal with the response's text.
void writeSetValue(std::string_view name, std::string_view value, const data::WriteHandle& handle);

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
