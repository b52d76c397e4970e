#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ormanta::plugins::TulService {

class RegistrationRun;

// Frees what registration runs leave behind (catalogue, records, type table) on a thread of
// its own. For a model of a million elements that takes seconds on a busy machine; neither a
// stop of the worker nor its next wake-up waits for it. Small runs are freed at once, so the
// thread exists only once a large run has been released.
//
// Threads: release() is called by the registration worker only. The destructor runs on the
// lifecycle thread after the worker has been joined: it lets the thread free what is still
// queued and joins it, so that no code of the module runs after its owner is gone.
// queue_ and ending_ are guarded by mutex_.
class RunReleaser {
 public:
  // Runs holding fewer entries than this are freed by release() itself.
  static constexpr std::size_t kInlineEntries = 10000;

  RunReleaser();
  ~RunReleaser();
  RunReleaser(const RunReleaser&) = delete;
  RunReleaser& operator=(const RunReleaser&) = delete;

  // Takes run (null is fine); returns without freeing a large one. If the thread cannot be
  // made, the run is freed here after all.
  void release(std::unique_ptr<RegistrationRun> run) noexcept;

 private:
  void drain();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::unique_ptr<RegistrationRun>> queue_;  // guarded by mutex_
  bool ending_ = false;                                  // guarded by mutex_
  std::thread thread_;  // made by the first large release, under mutex_; joined by the destructor
};

}  // namespace ormanta::plugins::TulService
