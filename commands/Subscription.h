#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace ormanta::plugins::TulService {

class Service;

// One peer's lease on a list of members. Touched by the command worker only, except that
// channels read samplingInterval under the channels' lock.
struct Subscription {
  static constexpr std::int64_t kDefaultSamplingIntervalMs = 500;

  explicit Subscription(Service& owner) noexcept : owner(&owner) {}

  Service* owner;
  // System-clock time in 100-ns ticks at which the lease ends.
  std::int64_t expiry = std::numeric_limits<std::int64_t>::min();
  // Member paths, sorted byte-wise; repeated names stay.
  std::vector<std::string> names;
  std::int64_t samplingInterval = kDefaultSamplingIntervalMs;
};

}  // namespace ormanta::plugins::TulService
