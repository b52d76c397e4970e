// ormanta-host: runs the TUL plug-in's service elements over a model from a model file.
// Output: JSON lines on standard output (see JsonLines.h), or with --format text short lines
// for people (see TextLines.h); commands on standard input:
//   write PATH VALUE | read PATH | reconnect | help | quit
// Exit status 0 after quit, SIGINT or SIGTERM; 2 when the start fails (one line on stderr).

#include <atomic>
#include <csignal>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/CommandLine.h"
#include "host/HostRunner.h"

namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void onStopSignal(int) { stopRequested.store(true); }

// Reads standard input on a thread of its own and posts each line. It ends by itself after
// "quit" or at the end of input; otherwise it may still be blocked in a read when the runner
// stops, and there is no portable way to interrupt that, so it is left to end with the process.
class StdinReader {
 public:
  explicit StdinReader(std::shared_ptr<ormanta::apps::Mailbox> mailbox) : state_(std::make_shared<State>()) {
    thread_ = std::thread([state = state_, mailbox = std::move(mailbox)] {
      std::string line;
      while (std::getline(std::cin, line)) {
        const bool quit = line == "quit" || line == "quit\r";
        mailbox->postLine(std::move(line));
        if (quit) break;
      }
      state->done.store(true);
    });
  }
  ~StdinReader() {
    if (state_->done.load()) {
      thread_.join();
    } else {
      thread_.detach();
    }
  }
  StdinReader(const StdinReader&) = delete;
  StdinReader& operator=(const StdinReader&) = delete;

 private:
  struct State {
    std::atomic<bool> done{false};
  };
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  // Standard input is read with its own buffer, so that a reader left blocked at exit holds
  // no C stdio lock; and untied, so that the reader thread never flushes standard output
  // under the main thread's feet (each line is flushed when written).
  std::ios::sync_with_stdio(false);
  std::cin.tie(nullptr);
  std::signal(SIGINT, onStopSignal);
  std::signal(SIGTERM, onStopSignal);

  ormanta::apps::Options options;
  try {
    options = ormanta::apps::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    std::cerr << "ormanta-host: " << error.what() << " (" << ormanta::apps::kUsage << ")" << std::endl;
    return 2;
  }
  if (options.help) {
    std::cout << ormanta::apps::kUsage << std::endl;
    return 0;
  }

  ormanta::apps::HostRunner runner(std::move(options), std::cout);
  try {
    runner.start();
  } catch (const ormanta::apps::StartupError& error) {
    runner.stop();
    std::cerr << "ormanta-host: " << error.what() << std::endl;
    return 2;
  } catch (const std::exception& error) {
    runner.stop();
    std::cerr << "ormanta-host: start failed: " << error.what() << std::endl;
    return 1;
  }
  {
    StdinReader reader(runner.mailbox());
    runner.run(stopRequested);
    runner.stop();
  }
  return 0;
}
