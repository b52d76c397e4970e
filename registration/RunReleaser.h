#pragma once

#include <cstddef>
#include <memory>
#include <thread>

namespace ormanta::plugins::TulService {

class RegistrationRun;

// Frees what large registration runs leave behind (catalogue, records, type table) on a thread
// of its own: for a model of a million elements that takes some 300 ms here (seconds on a busy
// machine), longer than a stop of the worker may take. Small runs are freed at once.
//
// Each large run gets a thread that first waits for the previous one and then frees the run;
// the destructor joins the last, and with it every earlier one, so that no code of the module
// runs after its owner is gone.
//
// Threads: release() is called by the registration worker only; the destructor runs on the
// lifecycle thread after the worker has been joined.
class RunReleaser {
 public:
  // Runs holding fewer entries than this are freed by release() itself.
  static constexpr std::size_t kInlineEntries = 10000;

  RunReleaser();
  ~RunReleaser();
  RunReleaser(const RunReleaser&) = delete;
  RunReleaser& operator=(const RunReleaser&) = delete;

  // Takes run (null is fine); returns without freeing a large one. If no thread can be made,
  // the run is freed here after all.
  void release(std::unique_ptr<RegistrationRun> run) noexcept;

 private:
  std::jthread last_;
};

}  // namespace ormanta::plugins::TulService
