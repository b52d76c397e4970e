#include "registration/RunReleaser.h"

#include <utility>

#include "registration/RegistrationRun.h"

namespace ormanta::plugins::TulService {

// Out of line, like the destructor: both need RegistrationRun complete.
RunReleaser::RunReleaser() = default;

RunReleaser::~RunReleaser() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void RunReleaser::release(std::unique_ptr<RegistrationRun> run) noexcept {
  if (!run) return;
  if (run->catalogue.size() + run->records.size() + run->typeTable.size() < kInlineEntries) return;
  try {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) thread_ = std::thread([this] { drain(); });
    queue_.push_back(std::move(run));
  } catch (...) {
    // No thread, or no memory for the queue: run (still ours) is freed here after all.
  }
  wake_.notify_all();
}

void RunReleaser::drain() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return ending_ || !queue_.empty(); });
    if (queue_.empty()) return;  // ending, and nothing left
    std::vector<std::unique_ptr<RegistrationRun>> runs = std::exchange(queue_, {});
    lock.unlock();
    runs.clear();
    lock.lock();
  }
}

}  // namespace ormanta::plugins::TulService
