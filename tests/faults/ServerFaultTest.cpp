// Cleanup from every state a stalled or refusing server can hold a worker in, with the service
// element in the test process.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ormanta/host/Host.h"
#include "support/CommandPeer.h"
#include "support/FakeServer.h"
#include "support/LiveService.h"

namespace tul::test {
namespace {

using namespace std::chrono_literals;
using ormanta::data::NativeType;
using Clock = std::chrono::steady_clock;

// Bytes on their way to 127.0.0.1:port that its reader has not taken yet: queued by the
// senders, and received but not read by the listener's side.
long long unreadBytesTo(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // header
  const auto portOf = [](const std::string& address) {
    return std::stoi(address.substr(address.find(':') + 1), nullptr, 16);
  };
  long long total = 0;
  for (std::string slot, local, remote, state, queues; table >> slot >> local >> remote >> state >> queues;
       std::getline(table, line)) {
    const std::size_t colon = queues.find(':');
    if (portOf(remote) == port) total += std::stoll(queues.substr(0, colon), nullptr, 16);
    if (portOf(local) == port) total += std::stoll(queues.substr(colon + 1), nullptr, 16);
  }
  return total;
}

// Lets a frozen server go on however the test ends.
struct Unfreeze {
  RedisServer& server;
  ~Unfreeze() { server.resume(); }
};

class ServerFaultTest : public LiveServiceTest {
 protected:
  // A peer subscribes to Plant.member, the model (the fixture's when none is given) changes the
  // member to value, and the peer sees text (the value's text) on the member's value stream.
  bool peerGetsValue(const std::string& member, ormanta::data::Value value, const std::string& text,
                     ServiceHarness* other = nullptr) {
    RedisClient client(server);
    CommandPeer commands(client, "S");
    const std::string id = commands.subscribe(member, {"S.Plant." + member});
    if (commands.response(id) != success(id)) return false;
    (other ? *other : harness).model().setValue("Plant", member, std::move(value));
    return commands.lastValueIs("S.Plant." + member, text);
  }
};

// reached, after the state has held for a while longer (so the service is well inside it).
bool settled(bool reached, std::chrono::milliseconds settle) {
  if (reached) std::this_thread::sleep_for(settle);
  return reached;
}

// One service element brought into a state; what it needs lives as long as it does.
struct Reached {
  std::unique_ptr<ServiceHarness> harness = std::make_unique<ServiceHarness>();
  std::vector<std::shared_ptr<void>> keep;  // listeners, fake servers
  std::shared_ptr<Service> service;

  void prepare(const std::string& address) {
    service = harness->create(serviceConfig(address, "S"));
    service->prepare();
  }
};

TEST_F(ServerFaultTest, CleanupReturnsWithin200msFromEveryState) {
  const auto up = [](Reached& r) {
    return waitUntil(
        [&] {
          return flagAttribute(*r.service, Attr::kState) &&
                 flagAttribute(*r.service, Attr::kIsServiceRegistered);
        },
        10s);
  };
  const struct {
    const char* state;
    std::function<bool(Reached&)> reach;  // true once the service is in the state
  } cases[] = {
      {"connecting: the handshake never completes",
       [](Reached& r) {
         auto listener = std::make_shared<LoopbackListener>(AF_INET, 0);
         listener->fillBacklog();
         r.keep.push_back(listener);
         r.prepare("127.0.0.1:" + std::to_string(listener->port()));
         std::this_thread::sleep_for(300ms);  // within the 3 s connect time-out
         return !flagAttribute(*r.service, Attr::kDataConnectionState);
       }},
      {"connected to a listener that accepts and never answers",
       [](Reached& r) {
         auto silent = std::make_shared<FakeServer>([](FakeConnection& c) { c.waitForPeerClose(60s); });
         r.keep.push_back(silent);
         r.prepare(silent->address());
         // Registration and command worker each wait for their first reply (1 s).
         return settled(waitUntil([&] { return flagAttribute(*r.service, Attr::kDataConnectionState); }, 3s),
                        300ms);
       }},
      {"blocked in XREAD",
       [&](Reached& r) {
         r.prepare(server.address());
         const auto blocked = [&] {
           return RedisClient(server).str({"CLIENT", "LIST"}).find("cmd=xread") != std::string::npos;
         };
         return up(r) && waitUntil(blocked, 3s);
       }},
      {"waiting in the command worker's back-off",
       [](Reached& r) {
         // PING and the status key's SET are answered, everything else refused: the data
         // connection stays up while the command connection fails again and again.
         auto refusing = std::make_shared<FakeServer>([](FakeConnection& c) {
           for (auto request = c.readCommand(60s); !request.empty(); request = c.readCommand(60s)) {
             c.send(request[0] == "PING"  ? "+PONG\r\n"
                    : request[0] == "SET" ? "+OK\r\n"
                                          : "-ERR refused\r\n");
           }
         });
         r.keep.push_back(refusing);
         r.prepare(refusing->address());
         const auto attempts = [&] {
           long n = 0;
           for (const auto& request : refusing->commands()) n += request[0] == "TIME";
           return n;
         };
         // Four failures: the next attempt waits 400 ms.
         return settled(waitUntil([&] { return attempts() >= 4; }, 5s), 100ms);
       }},
      {"writing a 32 MiB value into a frozen server",
       [&](Reached& r) {
         r.harness->model().addElement({"Plant", "", {}, {{"Text", NativeType::kString}}});
         r.prepare(server.address());
         // Paused only once a first value is out, so that nothing small is in flight when the
         // large value goes.
         if (!up(r) || !peerGetsValue("Text", std::string("small"), "small", r.harness.get())) return false;
         server.pause();
         r.harness->model().setValue("Plant", "Text", std::string(32 << 20, 'x'));
         return waitUntil([&] { return unreadBytesTo(server.port()) > (1 << 20); }, 5s);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state);
    RedisClient(server).flushAll();
    Reached reached;
    Unfreeze unfreeze{server};
    ASSERT_TRUE(c.reach(reached)) << "the state was not reached";
    const auto start = Clock::now();
    reached.service->cleanup();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_LT(took, 200ms * kSanitizerSlowdown);
    EXPECT_FALSE(flagAttribute(*reached.service, Attr::kDataConnectionState));
    std::printf("cleanup %-55s %4lld ms\n", c.state, static_cast<long long>(took.count()));
  }
}

}  // namespace
}  // namespace tul::test
