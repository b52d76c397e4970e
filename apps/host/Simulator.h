#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "host/ModelFile.h"
#include "ormanta/host/Model.h"

namespace ormanta::apps {

// Changes simulated attributes on their schedules. Each attribute falls due at multiples of
// its period (sine: of its step) counted from the start, so that attributes with the same
// period change in the same tick; all changes of one tick reach the model as one batch.
// Counters and toggles continue from the current value, so values written meanwhile count.
// One thread only.
class Simulator {
 public:
  using Clock = std::chrono::steady_clock;

  Simulator(std::shared_ptr<host::Model> model, std::vector<SimulatedAttribute> attributes,
            Clock::time_point start, std::uint64_t seed = std::random_device{}());

  // When the next change falls due; Clock::time_point::max() when nothing is simulated.
  Clock::time_point nextDue() const noexcept;
  // Commits every change due at now as one batch; returns the number of changes.
  std::size_t tick(Clock::time_point now);

 private:
  struct Entry {
    SimulatedAttribute attribute;
    std::chrono::milliseconds interval;
    Clock::time_point due;
  };

  data::Value nextValue(const Entry& entry, Clock::time_point now);

  std::shared_ptr<host::Model> model_;
  std::vector<Entry> entries_;
  Clock::time_point start_;
  std::mt19937_64 random_;
};

}  // namespace ormanta::apps
