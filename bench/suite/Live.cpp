#include "Live.h"

#include <stdexcept>
#include <string_view>

#include "Measure.h"
#include "support/Wait.h"

namespace tul::bench {
namespace {

using Attr = ormanta::plugins::TulService::ServiceAttribute;

constexpr const char* kCommandStream = "S.Commands";

}  // namespace

LiveService::LiveService(const ServerAddress& server, const std::function<void(ormanta::host::Model&)>& fill,
                         std::chrono::seconds upWithin) {
  fill(harness.model());
  service = harness.create(test::serviceConfig(server.text(), "S"));
  service->prepare();
  const bool up = test::waitUntil(
      [&] {
        return test::flagAttribute(*service, Attr::kState) &&
               test::flagAttribute(*service, Attr::kIsServiceRegistered);
      },
      upWithin, std::chrono::milliseconds(10));
  if (!up) {
    service->cleanup();
    throw std::runtime_error("the service did not come up and register in time");
  }
}

LiveService::~LiveService() { service->cleanup(); }

void addElements(ormanta::host::Model& model, int count, int first) {
  for (int i = first; i < first + count; ++i) {
    model.addElement({"E" + std::to_string(i), "", {}, {{"A", ormanta::data::NativeType::kDouble}}});
  }
}

std::vector<std::string> memberPaths(int count, int first) {
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(count));
  for (int i = first; i < first + count; ++i) names.push_back("S.E" + std::to_string(i) + ".A");
  return names;
}

std::string sendCommand(test::RedisClient& peer, const test::RedisClient::Fields& fields) {
  return peer.xadd(kCommandStream, fields);
}

std::map<std::string, std::string> awaitResponse(test::RedisClient& peer, const std::string& id,
                                                 std::chrono::milliseconds timeout) {
  const auto start = Clock::now();
  std::string from = id;
  while (Clock::now() - start < timeout) {
    test::ReplyPtr reply = peer.command({"XREAD", "BLOCK", "1000", "STREAMS", kCommandStream, from});
    if (reply->type != REDIS_REPLY_ARRAY) continue;
    const redisReply* entries = reply->element[0]->element[1];
    for (std::size_t i = 0; i < entries->elements; ++i) {
      const redisReply* entry = entries->element[i];
      from = entry->element[0]->str;
      const redisReply* fields = entry->element[1];
      std::map<std::string, std::string> found;
      for (std::size_t f = 0; f + 1 < fields->elements; f += 2) {
        found[fields->element[f]->str] = fields->element[f + 1]->str;
      }
      if (found["responseId"] == id) return found;
    }
  }
  throw std::runtime_error("no response to command " + id);
}

void subscribe(test::RedisClient& peer, const std::string& subscriptionId, int samplingIntervalMs,
               const std::vector<std::string>& names, std::chrono::milliseconds timeout) {
  test::RedisClient::Fields fields = {{"cmd", "subscribe"},
                                      {"subscriptionId", subscriptionId},
                                      {"samplingInterval", std::to_string(samplingIntervalMs)}};
  fields.reserve(fields.size() + names.size());
  for (const std::string& name : names) fields.emplace_back("name", name);
  const auto response = awaitResponse(peer, sendCommand(peer, fields), timeout);
  const auto result = response.find("result");
  if (result == response.end() || result->second != "success") {
    std::string text;
    for (const auto& [field, value] : response) text += " " + field + "=" + value;
    throw std::runtime_error("subscribe was refused:" + text);
  }
}

std::string lastEntryId(test::RedisClient& client, const std::string& stream) {
  test::ReplyPtr reply = client.command({"XREVRANGE", stream, "+", "-", "COUNT", "1"});
  if (reply->type != REDIS_REPLY_ARRAY || reply->elements == 0) return "0-0";
  return reply->element[0]->element[0]->str;
}

}  // namespace tul::bench
