#pragma once

#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "peer/PeerConnection.h"

namespace ormanta::peer {

// Each returns the process's exit status: 0 done, 1 failed (message on err). They throw
// PeerError when the connection fails.

// services: every registered service with its keys.
int listServices(PeerConnection& connection, std::ostream& out);

// browse SERVICE: the data points with their members, types, sizes and access letters.
int browse(PeerConnection& connection, const std::string& service, std::ostream& out, std::ostream& err);

struct WatchOptions {
  std::chrono::milliseconds interval{500};
  std::chrono::milliseconds renewEvery{10'000};  // the service's lease lasts 20 s
};

// watch SERVICE MEMBER...: subscribes, prints "TIME  MEMBER  VALUE" per value as it arrives,
// renews the lease, and ends the subscription once stop is set (checked every 500 ms).
int watch(PeerConnection& connection, const std::string& service, const std::vector<std::string>& members,
          const WatchOptions& options, const std::atomic<bool>& stop, std::ostream& out, std::ostream& err);

// set SERVICE MEMBER=VALUE...: one "set" command; prints the response. Error response or no
// response within 5 s: 1.
int set(PeerConnection& connection, const std::string& service, const std::vector<std::string>& assignments,
        std::ostream& out, std::ostream& err);

// The subscription ID a watch uses: "tul-peer-" and 16 random hex digits.
std::string newSubscriptionId();

}  // namespace ormanta::peer
