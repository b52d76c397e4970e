#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <system_error>

#include "commands/CommandProtocol.h"
#include "ormanta/utils/lockFree/ConditionVariable.h"
#include "plugin/Handlers.h"

namespace ormanta::plugins::TulService {

// The command worker's thread body. Keeps the command connection while the data connection
// is up: reads commands from "<S>.Commands", hands them to their handlers, answers them on the
// same stream, ends expired subscriptions and pings an idle connection. Every failure drops
// the connection (and every subscription) and connects again; consecutive failures back off.
// tracker was made before the thread started.
//
// Start position of a connection: the stream's end, so that a command written while the
// command connection was down is never executed late; but "0-0" on the first connection
// after a registration run cleared the stream unseen, so that a command added once the
// service record was back is answered however late the connection comes (CommandStreamClears.h).
void runCommandWorker(CommandConnectionHandler& handler, std::stop_token stop,
                      utils::lockFree::ConditionVariable::Tracker tracker);

// The next command: the oldest one queued in stream. With none queued, the pending
// responses are written first (which reads what arrived meanwhile), then the stream is read
// from lastId for about timeoutMs; every command entry of a reply is queued, entries without
// "cmd" only move lastId on. Never asks the server to wait without limit.
std::optional<Command> readCommand(CommandStream& stream, const std::stop_token& stop,
                                   std::int64_t timeoutMs);

// Delay before the next connection attempt after consecutive failures: the first retry is
// immediate, then 100 ms doubling up to 5 s; a connection that read successfully resets it.
class ReconnectBackoff {
 public:
  static constexpr std::chrono::milliseconds kFirstDelay{100};
  static constexpr std::chrono::milliseconds kLongestDelay{5000};

  void failed() noexcept { ++failures_; }
  void succeeded() noexcept { failures_ = 0; }
  std::chrono::milliseconds delay() const noexcept;

 private:
  int failures_ = 0;
};

}  // namespace ormanta::plugins::TulService
