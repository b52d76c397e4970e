#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "ormanta/utils/chrono/TimePoint.h"

namespace ormanta::apps {

// What other threads hand the runner's main thread: lines from standard input, raised
// events, and which services' attributes changed. Producers (the stdin reader, the plug-in's
// worker threads through change handlers and event observers) only lock, append and notify,
// so they never wait for the main thread. All members are thread-safe.
class Mailbox {
 public:
  struct RaisedEvent {
    std::size_t service;
    std::string event;
    utils::chrono::TimePoint time;
  };
  struct Contents {
    std::vector<std::string> lines;
    std::vector<RaisedEvent> events;
    std::vector<std::size_t> changedServices;  // each at most once, ascending
  };

  void postLine(std::string line);
  void postEvent(RaisedEvent event);
  void postAttributesChanged(std::size_t service);

  // Waits until something is posted or deadline passes, then takes everything posted.
  Contents waitUntil(std::chrono::steady_clock::time_point deadline);
  Contents take();

 private:
  Contents takeLocked();

  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::string> lines_;    // guarded by mutex_
  std::vector<RaisedEvent> events_;  // guarded by mutex_
  std::vector<bool> changed_;        // guarded by mutex_; indexed by service
  bool anyChanged_ = false;          // guarded by mutex_
};

}  // namespace ormanta::apps
