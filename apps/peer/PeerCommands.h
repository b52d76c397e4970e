#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "peer/PeerConnection.h"

namespace ormanta::peer {

// Each returns the process's exit status: 0 done, 1 failed (message on err). They throw
// PeerError when the connection fails.

// services: every registered service with its keys. With json, one {"service","dataPointsKey",
// "dataTypesKey","commandStream"} object per line.
int listServices(PeerConnection& connection, bool json, std::ostream& out);

// status: every registered service with its liveness from its status key. With json, one
// {"service","serving","connectedSince","registeredAt"} object per line.
int listStatus(PeerConnection& connection, bool json, std::ostream& out);

struct BrowseOptions {
  std::string pattern;  // empty: every member
  bool values = false;  // each readable member's current value too (as read gets it)
  bool json = false;
};

// browse SERVICE [PATTERN]: the data points with their members, types, sizes and access
// letters; with a pattern only the matching members (1 when none matches). With json, one
// object per data point and line, its members inside, values typed by the member's type.
int browse(PeerConnection& connection, const std::string& service, const BrowseOptions& options,
           std::ostream& out, std::ostream& err, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// read SERVICE MEMBER...: each member's current value ("MEMBER  VALUE", or one
// {"time","member","value"} object per line, the value typed by the member's type). A MEMBER
// may be a glob pattern (see MemberPatterns.h): its readable members, 1 when it matches none. Subscribes,
// takes the first value of each member (every new subscriber gets one), then ends the subscription. 1, naming
// the member, for an unknown or write-only member, a service that is not registered or not serving, and a
// value that does not come within timeout.
int read(PeerConnection& connection, const std::string& service, const std::vector<std::string>& members,
         bool json, std::ostream& out, std::ostream& err,
         std::chrono::milliseconds timeout = std::chrono::seconds(5));

struct WatchOptions {
  std::chrono::milliseconds interval{500};
  std::chrono::milliseconds renewEvery{10'000};  // the service's lease lasts 20 s
  std::chrono::milliseconds statusEvery{1'000};  // how often the status key is looked at
  std::chrono::milliseconds retryEvery{1'000};   // reconnects, and waits for the service
  bool json = false;
  bool table = false;  // a table updated in place, when out is a terminal
};

// Makes a new connection; throws PeerError when it cannot.
using Connector = std::function<std::unique_ptr<PeerConnection>()>;

// watch SERVICE MEMBER...: waits for the service (its record and a status key that shows a
// completed registration), subscribes, prints "TIME  MEMBER  VALUE" (or one {"time","member",
// "value"} object) per value, the current ones first, renews the lease, and ends the
// subscription once stop is set (checked every 500 ms). Unknown and write-only members are
// left out with a warning. A lost connection (a Redis restart), an error reply (a demoted
// primary's), a primary that the sentinels no longer name (looked at with the status key) or a
// service that starts anew is waited for and subscribed to again, each with a line on err.
int watch(const Connector& connect, const std::string& service, const std::vector<std::string>& members,
          const WatchOptions& options, const std::atomic<bool>& stop, std::ostream& out, std::ostream& err);

// set SERVICE MEMBER=VALUE...: one "set" command; one result line per member (or one JSON
// object). Refused before anything is written: a service that is not registered or not
// serving, an unknown or read-only member, a value that is not of the member's type (see
// checkedSetValue). Refusal, error response or no response within 5 s: 1.
int set(PeerConnection& connection, const std::string& service, const std::vector<std::string>& assignments,
        bool json, std::ostream& out, std::ostream& err);

// The subscription ID a watch uses: "tul-peer-" and 16 random hex digits.
std::string newSubscriptionId();

}  // namespace ormanta::peer
