#include "registration/RunReleaser.h"

#include <utility>

#include "registration/RegistrationRun.h"

namespace ormanta::plugins::TulService {

// Out of line: both need RegistrationRun complete.
RunReleaser::RunReleaser() = default;
RunReleaser::~RunReleaser() = default;

void RunReleaser::release(std::unique_ptr<RegistrationRun> run) noexcept {
  if (!run) return;
  if (run->catalogue.size() + run->records.size() + run->typeTable.size() < kInlineEntries) return;
  try {
    // Moved into the new thread before last_ is assigned: the assignment finds nothing to join.
    last_ = std::jthread([run = std::move(run), previous = std::move(last_)]() mutable {
      if (previous.joinable()) previous.join();
      run.reset();
    });
  } catch (...) {
    // No thread: the run (and the wait for the previous one) went with the closure, here.
  }
}

}  // namespace ormanta::plugins::TulService
