#pragma once

// The runner's output for people (--format text): one short line per change of a service's
// state, and short answers to the commands.
//   Plant: data up · command up · registered · serving
//   Plant: down (connection refused by 127.0.0.1:6379) · retrying every 2 s
//   BoilerHouse.Boiler1.Setpoint = 82.5

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "host/JsonLines.h"

namespace ormanta::apps {

// Why a TCP connect to address (the service's "address": "host[:port]", empty for the local
// machine) fails now, in a few words ("connection refused by 127.0.0.1:6379", "no answer within
// 1 s", "name not found"); empty when it succeeds. Waits at most timeout.
std::string probeConnectCause(std::string_view address, std::chrono::milliseconds timeout);

// The state line of a service from its attributes. The data connection's generic connect
// failure is replaced by a cause: the last one known (lastCause, updated here) while the
// service keeps retrying, or a new probe of the address when the state has just changed.
class ServiceStatusText {
 public:
  ServiceStatusText(std::string service, std::chrono::milliseconds retryEvery)
      : service_(std::move(service)), retryEvery_(retryEvery) {}
  std::string line(const std::vector<NamedValue>& attributes);
  // True the first time the service's state shows it serving (connected and registered).
  bool servingForTheFirstTime() noexcept;

 private:
  std::string service_;
  std::chrono::milliseconds retryEvery_;
  std::string lastState_;  // the up/down flags of the last line
  std::string lastCause_;
  bool serving_ = false;
  bool announcedServing_ = false;
};

std::string readAnswerText(std::string_view path, std::string_view text);
std::string eventText(std::string_view service, std::string_view event, utils::chrono::TimePoint time);
std::string errorText(std::string_view message);

}  // namespace ormanta::apps
