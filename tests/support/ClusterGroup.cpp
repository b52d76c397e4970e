#include "support/ClusterGroup.h"

#include <algorithm>
#include <stdexcept>

#include "support/ChildProcess.h"
#include "support/RedisClient.h"
#include "support/Wait.h"

namespace tul::test {

namespace {

using namespace std::chrono_literals;

std::string info(RedisServer& server, const std::string& section) {
  try {
    return RedisClient(server).str({"CLUSTER", section});
  } catch (const std::runtime_error&) {
    return {};
  }
}

}  // namespace

ClusterGroup::ClusterGroup() {
  for (int i = 0; i < 6; ++i) {
    nodes_.push_back(std::make_unique<RedisServer>(
        Texts{"--cluster-enabled", "yes", "--cluster-config-file",
              directory_.file("nodes" + std::to_string(i) + ".conf"), "--cluster-node-timeout", "1000",
              "--repl-diskless-sync-delay", "0"}));
  }
  Texts create{"redis-cli", "--cluster", "create"};
  for (const auto& node : nodes_) create.push_back(node->address());
  create.insert(create.end(), {"--cluster-replicas", "1", "--cluster-yes"});
  ChildProcess tool(create, directory_.file("create.log"), ::open("/dev/null", O_WRONLY | O_CLOEXEC));
  const std::optional<int> status = tool.wait(20s);
  if (status != 0)
    throw std::runtime_error("cluster: redis-cli --cluster create failed: " + tool.stderrText());
  if (!waitUntilHealthy(20s)) throw std::runtime_error("cluster: the nodes did not agree");
  for (const auto& node : nodes_) {
    RedisClient client(*node);
    if (!waitUntil(
            [&] {
              const std::string replication = client.str({"INFO", "replication"});
              return replication.find("role:master") != std::string::npos ||
                     replication.find("master_link_status:up") != std::string::npos;
            },
            20s, 20ms)) {
      throw std::runtime_error("cluster: a replica did not sync");
    }
  }
}

std::string ClusterGroup::seedAddresses() const {
  std::string list;
  for (const auto& node : nodes_) list += (list.empty() ? "" : ",") + node->address();
  return list;
}

RedisServer& ClusterGroup::ownerOf(const std::string& key) {
  for (const auto& asked : nodes_) {
    if (!asked->running()) continue;
    const long long slot = RedisClient(*asked).integer({"CLUSTER", "KEYSLOT", key});
    if (RedisServer* owner = slotOwner(*asked, static_cast<std::uint16_t>(slot))) return *owner;
  }
  throw std::runtime_error("cluster: no node serves " + key);
}

RedisServer* ClusterGroup::slotOwner(RedisServer& asked, std::uint16_t slot) {
  const ReplyPtr slots = RedisClient(asked).command({"CLUSTER", "SLOTS"});
  for (std::size_t i = 0; i < slots->elements; ++i) {
    const redisReply* range = slots->element[i];
    if (range->element[0]->integer > slot || range->element[1]->integer < slot) continue;
    for (const auto& node : nodes_) {
      if (node->port() == range->element[2]->element[1]->integer) return node.get();
    }
  }
  return nullptr;
}

bool ClusterGroup::waitUntilHealthy(std::chrono::milliseconds timeout) {
  return waitUntil(
      [&] {
        std::string agreed;
        for (const auto& node : nodes_) {
          if (!node->running()) continue;
          if (info(*node, "INFO").find("cluster_state:ok") == std::string::npos) return false;
          // Every node's view of the slots, without its own flags ("myself").
          std::string view;
          try {
            const ReplyPtr slots = RedisClient(*node).command({"CLUSTER", "SLOTS"});
            for (std::size_t i = 0; i < slots->elements; ++i) {
              const redisReply* range = slots->element[i];
              const long long port = range->element[2]->element[1]->integer;
              if (std::none_of(nodes_.begin(), nodes_.end(),
                               [&](const auto& n) { return n->running() && n->port() == port; }))
                return false;  // a dead primary still holds slots
              view += std::to_string(range->element[0]->integer) + "-" +
                      std::to_string(range->element[1]->integer) + ":" +
                      std::to_string(range->element[2]->element[1]->integer) + " ";
            }
          } catch (const std::runtime_error&) {
            return false;
          }
          if (agreed.empty()) agreed = view;
          if (view != agreed) return false;
        }
        return true;
      },
      timeout, 50ms);
}

std::string ClusterGroup::nodeId(RedisServer& server) { return RedisClient(server).str({"CLUSTER", "MYID"}); }

void ClusterGroup::moveSlot(std::uint16_t slot, RedisServer& target) {
  const std::string slotText = std::to_string(slot);
  // As redis-cli does before a reshard: the nodes agree on the map first.
  if (!waitUntilHealthy(5s)) throw std::runtime_error("cluster: the nodes disagree before a move");
  RedisServer* owner = slotOwner(target, slot);
  if (owner == nullptr) throw std::runtime_error("cluster: no node serves slot " + slotText);
  if (owner == &target) return;
  const std::string sourceId = nodeId(*owner);
  const std::string targetId = nodeId(target);
  RedisClient to(target);
  RedisClient from(*owner);
  to.str({"CLUSTER", "SETSLOT", slotText, "IMPORTING", sourceId});
  from.str({"CLUSTER", "SETSLOT", slotText, "MIGRATING", targetId});
  for (;;) {
    const ReplyPtr keys = from.command({"CLUSTER", "GETKEYSINSLOT", slotText, "100"});
    if (keys->elements == 0) break;
    Texts migrate{"MIGRATE", "127.0.0.1", std::to_string(target.port()), "", "0", "5000", "KEYS"};
    for (std::size_t i = 0; i < keys->elements; ++i) migrate.emplace_back(keys->element[i]->str);
    const ReplyPtr reply = from.command(migrate);
    if (reply->type == REDIS_REPLY_ERROR)
      throw std::runtime_error(std::string("cluster: MIGRATE: ") + reply->str);
  }
  // The target first, so that it serves the slot before the source redirects to it.
  to.str({"CLUSTER", "SETSLOT", slotText, "NODE", targetId});
  from.str({"CLUSTER", "SETSLOT", slotText, "NODE", targetId});
  for (const auto& node : nodes_) {
    if (!node->running() || node.get() == &target || node.get() == owner) continue;
    RedisClient other(*node);
    if (other.str({"INFO", "replication"}).find("role:master") == std::string::npos) continue;
    other.command({"CLUSTER", "SETSLOT", slotText, "NODE", targetId});
  }
}

}  // namespace tul::test
