#pragma once

// The hand-off of the command stream between the registration worker, which deletes the stream
// at the start of every run, and the command worker, which must answer every command that a
// peer adds once the run has written the service record, however late the command connection
// comes up.
//
// Rule: a new command connection starts at the stream's end (a command written while the
// command connection was down is never executed late), except when a clear has been answered
// that no read of the command worker has passed: then it reads from "0-0", since all the
// stream holds came after that clear and nobody has read any of it. A clear that a read has
// passed (a read answered after the clear began, even with nothing) belongs to the connection
// that made the read: that connection goes on from its own position (entries added after a
// clear get larger IDs than the old stream held), and the next one starts at the end, so
// nothing is executed twice and a connection that fails later does not hand its commands on.
//
// Why it holds: the registration worker numbers a clear before it sends the DEL (begin) and
// publishes the number once the DEL is answered (done), before it writes the service record.
// A read that the server executed after the DEL is answered after begin, so the load of
// begun() after its reply counts the clear as passed. A command added after its peer found the
// service record reaches the server after done, so a connection whose start position lies past
// that command loads done() after it and reads from "0-0" instead.
//
// Threads and memory ordering: CommandStreamClears is shared (one per service, a member of
// Service); its two counters are sequentially consistent atomics, written by the registration
// worker only, read by the command worker. The order the rule relies on runs through the
// server: on each side, socket calls lie between the stores and the loads. CommandStreamWatch
// belongs to the command worker thread.

#include <atomic>
#include <cstdint>

namespace ormanta::plugins::TulService {

class CommandStreamClears {
 public:
  // Registration worker, before the DEL of the command stream: the clear's number.
  std::uint64_t begin() noexcept { return begun_.fetch_add(1) + 1; }
  // Registration worker, once that DEL has been answered (never after a failed one).
  void done(std::uint64_t clear) noexcept { done_.store(clear); }

  std::uint64_t begun() const noexcept { return begun_.load(); }
  std::uint64_t lastDone() const noexcept { return done_.load(); }

 private:
  std::atomic<std::uint64_t> begun_{0};
  std::atomic<std::uint64_t> done_{0};
};

// The command worker's record of which clears its reads may have passed. Made when the worker
// starts: clears answered before that count as passed.
class CommandStreamWatch {
 public:
  explicit CommandStreamWatch(const CommandStreamClears& clears) noexcept
      : clears_(&clears), passed_(clears.lastDone()) {}

  // After the reply to every read of the command stream, an empty one too.
  void noteRead() noexcept { passed_ = clears_->begun(); }
  // Once a new connection has taken the stream's end as its start position: true when it
  // must read from "0-0" instead.
  bool readFromStart() const noexcept { return clears_->lastDone() > passed_; }
  // Clears begun so far, and the latest one done: a clear numbered above the count begun when a
  // position was taken, once done, has deleted the stream after that position.
  std::uint64_t begun() const noexcept { return clears_->begun(); }
  std::uint64_t lastDone() const noexcept { return clears_->lastDone(); }

 private:
  const CommandStreamClears* clears_;
  std::uint64_t passed_;  // clears begun before the reply to the latest read
};

}  // namespace ormanta::plugins::TulService
