#pragma once

// A running service element against the suite's server, and what a peer does with it.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "RedisTools.h"
#include "ormanta/host/Model.h"
#include "support/RedisClient.h"
#include "support/ServiceHarness.h"

namespace tul::bench {

// A service "S" on the given model, prepared and waited for until its data connection is up
// and its registration done (which deletes the command stream). cleanup() on destruction.
class LiveService {
 public:
  // fill adds the model's elements before the service is made.
  LiveService(const ServerAddress& server, const std::function<void(ormanta::host::Model&)>& fill,
              std::chrono::seconds upWithin = std::chrono::seconds(60));
  ~LiveService();
  LiveService(const LiveService&) = delete;
  LiveService& operator=(const LiveService&) = delete;

  ormanta::host::Model& model() { return harness.model(); }

  test::ServiceHarness harness;
  std::shared_ptr<test::Service> service;
};

// Model elements "E<first>".."E<first+count-1>" under the root, each with one double
// attribute "A"; their member paths are "S.E<i>.A".
void addElements(ormanta::host::Model& model, int count, int first = 0);
std::vector<std::string> memberPaths(int count, int first = 0);

// Appends a command entry to "S.Commands"; returns its ID.
std::string sendCommand(test::RedisClient& peer, const test::RedisClient::Fields& fields);
// Reads "S.Commands" after `after` until the response to id arrives; its fields. Throws
// std::runtime_error when none came within timeout.
std::map<std::string, std::string> awaitResponse(test::RedisClient& peer, const std::string& id,
                                                 std::chrono::milliseconds timeout);
// A subscribe command for names (interval in ms); throws unless it is answered "success".
void subscribe(test::RedisClient& peer, const std::string& subscriptionId, int samplingIntervalMs,
               const std::vector<std::string>& names, std::chrono::milliseconds timeout);

// The ID of a stream's newest entry, "0-0" when it is empty or absent.
std::string lastEntryId(test::RedisClient& client, const std::string& stream);

}  // namespace tul::bench
