#include "support/SentinelGroup.h"

#include <stdexcept>

#include "support/Ports.h"
#include "support/RedisClient.h"
#include "support/Wait.h"

namespace tul::test {

namespace {

using namespace std::chrono_literals;

std::size_t arrayLength(const ReplyPtr& reply) {
  return reply && reply->type == REDIS_REPLY_ARRAY ? reply->elements : 0;
}

// What the sentinel on port answers to request, null while it does not listen yet.
ReplyPtr ask(int port, const std::vector<std::string>& request) {
  try {
    return RedisClient("127.0.0.1", port).command(request);
  } catch (const std::runtime_error&) {
    return nullptr;
  }
}

}  // namespace

// A replica that joins is sent the data set at once, not after the default 5 s wait for others.
SentinelGroup::SentinelGroup()
    : first_({"--repl-diskless-sync-delay", "0"}),
      second_(
          {"--repl-diskless-sync-delay", "0", "--replicaof", "127.0.0.1", std::to_string(first_.port())}) {
  RedisClient replica(second_);
  if (!waitUntil(
          [&] {
            return replica.str({"INFO", "replication"}).find("link_status:up") != std::string::npos;
          },
          15s, 20ms)) {
    throw std::runtime_error("sentinel group: the replica did not sync");
  }
  for (int i = 0; i < 3; ++i) {
    const int port = freeLoopbackPort();
    const std::string name = "sentinel" + std::to_string(i);
    // Logged to a file: the pipe of its standard output would fill up unread.
    const std::string config = directory_.write(
        name + ".conf",
        "port " + std::to_string(port) + "\nbind 127.0.0.1\ndir " + directory_.path().string() +
            "\nlogfile " + directory_.file(name + ".log") + "\nsentinel monitor m 127.0.0.1 " +
            std::to_string(first_.port()) +
            " 2\nsentinel down-after-milliseconds m 1000\nsentinel failover-timeout m 3000\n");
    sentinels_.push_back(std::make_unique<ChildProcess>(Texts{"redis-sentinel", config}, "/dev/null"));
    sentinelPorts_.push_back(port);
  }
  // The sentinels find each other through the primary's hello channel, every 2 s.
  for (int port : sentinelPorts_) {
    if (!waitUntil(
            [&] {
              return arrayLength(ask(port, {"SENTINEL", "REPLICAS", "m"})) == 1 &&
                     arrayLength(ask(port, {"SENTINEL", "SENTINELS", "m"})) == 2;
            },
            15s, 20ms)) {
      throw std::runtime_error("sentinel group: the sentinels did not get ready");
    }
  }
}

std::string SentinelGroup::sentinelAddresses() const {
  std::string list;
  for (int port : sentinelPorts_)
    list += (list.empty() ? "127.0.0.1:" : ",127.0.0.1:") + std::to_string(port);
  return list;
}

std::string SentinelGroup::namedPrimary() {
  const ReplyPtr reply = ask(sentinelPorts_.at(0), {"SENTINEL", "GET-MASTER-ADDR-BY-NAME", "m"});
  return arrayLength(reply) == 2 ? std::string(reply->element[0]->str) + ":" + reply->element[1]->str : "";
}

void SentinelGroup::failover() {
  const auto accepted = [&] {
    const ReplyPtr reply = ask(sentinelPorts_.at(0), {"SENTINEL", "FAILOVER", "m"});
    return reply && reply->type == REDIS_REPLY_STATUS;
  };
  if (!waitUntil(accepted, 10s, 100ms)) throw std::runtime_error("SENTINEL FAILOVER was refused");
}

std::optional<std::string> SentinelGroup::waitForNewPrimary(const std::string& previous,
                                                            std::chrono::milliseconds timeout) {
  std::string now;
  if (waitUntil([&] { return !(now = namedPrimary()).empty() && now != previous; }, timeout, 20ms))
    return now;
  return std::nullopt;
}

}  // namespace tul::test
