#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/RedisClient.h"
#include "support/Wait.h"

namespace tul::test {

// A peer of a service's command stream: adds command entries and waits for their responses.
class CommandPeer {
 public:
  CommandPeer(RedisClient& client, std::string serviceName)
      : client_(client), serviceName_(std::move(serviceName)), stream_(serviceName_ + ".Commands") {}

  // Adds the entry; returns its ID.
  std::string send(const RedisClient::Fields& fields) { return client_.xadd(stream_, fields); }

  // The response entry whose "responseId" is id (all its fields, by name), if it comes in time.
  std::optional<std::map<std::string, std::string>> response(
      const std::string& id, std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
    std::optional<std::map<std::string, std::string>> found;
    waitUntil(
        [&] {
          for (const auto& entry : client_.xrange(stream_)) {
            std::map<std::string, std::string> fields(entry.fields.begin(), entry.fields.end());
            if (!found && fields["responseId"] == id) found = std::move(fields);
          }
          return found.has_value();
        },
        timeout, std::chrono::milliseconds(10));
    return found;
  }

  // Sends a command and returns its response (empty when none came).
  std::map<std::string, std::string> call(const RedisClient::Fields& fields) {
    return response(send(fields)).value_or(std::map<std::string, std::string>{});
  }

  // Adds a subscribe entry for names with the interval in ms (any text); returns its ID.
  std::string subscribe(const std::string& subscriptionId, const std::vector<std::string>& names,
                        const std::string& interval = "0") {
    RedisClient::Fields fields = {
        {"cmd", "subscribe"}, {"subscriptionId", subscriptionId}, {"samplingInterval", interval}};
    for (const std::string& name : names) fields.emplace_back("name", name);
    return send(fields);
  }

  // True once the member's value stream ends with text.
  bool lastValueIs(const std::string& memberPath, const std::string& text,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return waitUntil(
        [&] {
          const std::vector<std::string> all = values(memberPath);
          return !all.empty() && all.back() == text;
        },
        timeout, std::chrono::milliseconds(10));
  }

  // Values on a member's value stream, oldest first.
  std::vector<std::string> values(const std::string& memberPath) {
    std::vector<std::string> result;
    for (const auto& entry : client_.xrange(serviceName_ + "Value:" + memberPath)) {
      for (const auto& [field, value] : entry.fields) {
        if (field == "value") result.push_back(value);
      }
    }
    return result;
  }

 private:
  RedisClient& client_;
  std::string serviceName_;
  std::string stream_;
};

inline std::map<std::string, std::string> success(const std::string& id) {
  return {{"responseId", id}, {"result", "success"}};
}

}  // namespace tul::test
