// Every command gets exactly one response, in stream order: bursts and many peers against the
// responses' trim of the command stream, and a command connection that comes up late, after a
// registration run cleared the stream. Against a private redis-server.
//
// The stream keeps only about its last 100 entries, so the responses are taken from the
// server's MONITOR feed, which lists every append as the server executed it.

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <latch>
#include <set>
#include <thread>

#include "ormanta/host/Host.h"
#include "support/CommandPeer.h"
#include "support/LiveService.h"

namespace {

using namespace std::chrono_literals;
using namespace ormanta;
using data::NativeType;
using plugins::TulService::Service;
using tul::test::CommandPeer;
using tul::test::RedisClient;
using tul::test::success;
using tul::test::waitUntil;

// The quoted arguments of one MONITOR line: 1796.1 [0 127.0.0.1:5] "XADD" "k" "v"... An escaped
// character is kept as it is: the arguments compared here are plain ASCII.
std::vector<std::string> monitorArguments(std::string_view line) {
  std::vector<std::string> arguments;
  for (std::size_t i = line.find(']'); i != std::string_view::npos && i < line.size(); ++i) {
    if (line[i] != '"') continue;
    std::string& argument = arguments.emplace_back();
    for (++i; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) ++i;  // keep the escaped character itself
      argument += line[i];
    }
  }
  return arguments;
}

using Responses = std::vector<std::pair<std::string, std::string>>;  // responseId, result[: errorMessage]

// The responses appended to a command stream, in the order the server executed them.
class ResponseLog {
 public:
  ResponseLog(int port, std::string stream) : feed_("127.0.0.1", port), stream_(std::move(stream)) {
    if (feed_.command({"MONITOR"})->type == REDIS_REPLY_ERROR) throw std::runtime_error("MONITOR refused");
  }

  // Reads the feed until every response is in whose command was executed before now; repeats
  // until there are `expected` responses or timeout passes.
  const Responses& collect(RedisClient& client, std::size_t expected, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      readUpToMarker(client);
      if (responses_.size() >= expected || std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(20ms);
    }
    // A second look a moment later: a response given twice would show up now.
    std::this_thread::sleep_for(100ms);
    readUpToMarker(client);
    return responses_;
  }

 private:
  void readUpToMarker(RedisClient& client) {
    const std::string marker = "response-log-" + std::to_string(++markers_);
    client.command({"ECHO", marker});
    for (;;) {
      const tul::test::ReplyPtr reply = feed_.nextReply();
      const std::vector<std::string> arguments = monitorArguments(std::string_view(reply->str, reply->len));
      if (arguments.size() == 2 && arguments[0] == "ECHO" && arguments[1] == marker) return;
      if (arguments.size() < 6 || arguments[0] != "XADD" || arguments[1] != stream_) continue;
      std::pair<std::string, std::string> response;
      for (std::size_t i = 6; i + 1 < arguments.size(); i += 2) {
        if (arguments[i] == "responseId") response.first = arguments[i + 1];
        if (arguments[i] == "result") response.second = arguments[i + 1] + response.second;
        if (arguments[i] == "errorMessage") response.second += ": " + arguments[i + 1];
      }
      if (!response.first.empty()) responses_.push_back(std::move(response));
    }
  }

  RedisClient feed_;
  std::string stream_;
  Responses responses_;
  int markers_ = 0;
};

// Adds every command in one write, then collects the entry IDs.
std::vector<std::string> pipelineCommands(RedisClient& client, const std::vector<RedisClient::Fields>& commands) {
  std::vector<std::vector<std::string>> xadds;
  for (const RedisClient::Fields& fields : commands) {
    std::vector<std::string>& args = xadds.emplace_back(std::vector<std::string>{"XADD", "S.Commands", "*"});
    for (const auto& [field, value] : fields) args.insert(args.end(), {field, value});
  }
  std::vector<std::string> ids;
  for (const tul::test::ReplyPtr& reply : client.pipeline(xadds)) ids.emplace_back(reply->str, reply->len);
  return ids;
}

RedisClient::Fields setCommand(const std::string& name, const std::string& value) {
  return {{"cmd", "set"}, {"name", name}, {"value", value}};
}

// A success for each of ids, in stream order ("ms-seq" compared as numbers).
Responses successesInStreamOrder(std::vector<std::string> ids) {
  const auto split = [](const std::string& id) {
    const auto dash = id.find('-');
    return std::pair(std::stoull(id.substr(0, dash)), std::stoull(id.substr(dash + 1)));
  };
  std::sort(ids.begin(), ids.end(), [&](const auto& a, const auto& b) { return split(a) < split(b); });
  Responses expected;
  for (std::string& id : ids) expected.emplace_back(std::move(id), "success");
  return expected;
}

class CommandDeliveryTest : public tul::test::LiveServiceTest {
 protected:
  static constexpr int kPeers = 50;

  void SetUp() override {
    std::vector<host::AttributeSpec> members;
    for (int peer = 0; peer <= kPeers; ++peer) {
      members.push_back(
          host::AttributeSpec(peer == kPeers ? "Count" : "V" + std::to_string(peer), NativeType::kInt));
    }
    harness.model().addElement({"Boiler", "", {}, members});
  }

  std::int64_t value(const std::string& attribute) {
    return std::get<std::int64_t>(*harness.model().readValue("Boiler", attribute));
  }
};

// The IDs of the responses a prompt reader finds on the stream, reading from `from` on as fast
// as it can (XREAD BLOCK 100 COUNT 10000), until it has `expected` of them or timeout passes.
std::set<std::string> readResponsesPromptly(int port, std::string from, std::size_t expected,
                                            std::chrono::milliseconds timeout) {
  RedisClient reader("127.0.0.1", port);
  std::set<std::string> seen;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (seen.size() < expected && std::chrono::steady_clock::now() < deadline) {
    const tul::test::ReplyPtr reply =
        reader.command({"XREAD", "COUNT", "10000", "BLOCK", "100", "STREAMS", "S.Commands", from});
    if (reply->type != REDIS_REPLY_ARRAY) continue;
    const redisReply* entries = reply->element[0]->element[1];
    for (std::size_t i = 0; i < entries->elements; ++i) {
      const redisReply* entry = entries->element[i];
      from.assign(entry->element[0]->str, entry->element[0]->len);
      const redisReply* fields = entry->element[1];
      for (std::size_t f = 0; f + 1 < fields->elements; f += 2) {
        if (std::string_view(fields->element[f]->str) == "responseId")
          seen.insert(fields->element[f + 1]->str);
      }
    }
  }
  return seen;
}

// Fifty peers pipeline twenty sets each while one more pipelines a burst of 5,000, and the
// command connection is cut once in the middle (CLIENT KILL: the server keeps its data). Every
// command is run and answered exactly once, in stream order, and a reader that follows the
// stream promptly finds every response before the trim does.
TEST_F(CommandDeliveryTest, BurstsOfManyPeersAndOneOfFiveThousandSetsAreAllAnsweredOnceInStreamOrder) {
  constexpr int kCommands = 20, kBurst = 5000;
  constexpr std::size_t kAll = kPeers * kCommands + kBurst;
  start();
  ResponseLog log(server.port(), "S.Commands");
  // The command connection is the one blocked in XREAD.
  std::string clients = peer->str({"CLIENT", "LIST"});
  const std::size_t xread = clients.find("cmd=xread");
  ASSERT_NE(xread, std::string::npos) << clients;
  const std::size_t line = clients.rfind('\n', xread) + 1;
  const std::string commandClient = clients.substr(line + 3, clients.find(' ', line) - line - 3);  // "id=N "
  std::future<std::set<std::string>> promptReader =
      std::async(std::launch::async, [&] { return readResponsesPromptly(server.port(), "0-0", kAll, 60s); });
  std::vector<std::vector<std::string>> ids(kPeers + 1);
  std::latch ready(kPeers + 1);
  std::vector<std::thread> peers;
  for (int p = 0; p <= kPeers; ++p) {
    peers.emplace_back([&, p] {
      RedisClient client(server);
      std::vector<RedisClient::Fields> commands;
      for (int k = 1; k <= (p == kPeers ? kBurst : kCommands); ++k) {
        commands.push_back(
            setCommand(p == kPeers ? "S.Boiler.Count" : "S.Boiler.V" + std::to_string(p), std::to_string(k)));
      }
      ready.arrive_and_wait();
      ids[static_cast<std::size_t>(p)] = pipelineCommands(client, commands);
    });
  }
  EXPECT_TRUE(waitUntil([&] { return value("Count") >= 1000; }, 30s));
  EXPECT_EQ(peer->integer({"CLIENT", "KILL", "ID", commandClient}), 1);
  for (std::thread& thread : peers) thread.join();
  std::vector<std::string> all;
  for (const auto& peerIds : ids) all.insert(all.end(), peerIds.begin(), peerIds.end());

  EXPECT_TRUE(waitUntil(
      [&] {
        for (int p = 0; p < kPeers; ++p) {
          if (value("V" + std::to_string(p)) != kCommands) return false;
        }
        return value("Count") == kBurst;
      },
      30s))
      << "last value written of the burst: " << value("Count");
  const auto& responses = log.collect(*peer, all.size(), 10s);
  EXPECT_EQ(responses.size(), all.size());
  EXPECT_TRUE(responses == successesInStreamOrder(all));
  EXPECT_EQ(promptReader.get().size(), kAll) << "responses trimmed before a prompt reader saw them";
}

// Sets that arrive together share one round trip for their echoes; each still gets the response
// it would get alone, whatever its neighbours get.
TEST_F(CommandDeliveryTest, EachSetOfAPipelinedBurstGetsTheResponseItWouldGetAlone) {
  start();
  peer->command({"SET", "SValue:S.Boiler.V1", "not a stream"});  // V1's echo is refused
  ResponseLog log(server.port(), "S.Commands");
  RedisClient client(server);
  const std::vector<std::string> ids = pipelineCommands(
      client,
      {setCommand("S.Boiler.V0", "1"),
       setCommand("S.Boiler.V1", "2"),
       setCommand("S.Boiler.Nope", "3"),
       setCommand("S.Boiler.V2", "x"),
       setCommand("S.Boiler.V3", "4"),
       {{"cmd", "set"}, {"name", "S.Boiler.V4"}, {"name", "S.Boiler.V5"}, {"value", "5"}, {"value", "6"}},
       setCommand("S.Boiler.V6", "7"),
       setCommand("S.Boiler.V7", "8")});
  const std::string failed = "error: 'set' command failed. ";
  const Responses expected = {
      {ids[0], "success"},
      {ids[1], "error: WRONGTYPE Operation against a key holding the wrong kind of value"},
      {ids[2], failed + "No channel S.Boiler.Nope exists."},
      {ids[3], failed + "Value 'x' cannot be converted for S.Boiler.V2."},
      {ids[4], "success"},
      {ids[5], "success"},
      {ids[6], "success"},
      {ids[7], "success"}};
  EXPECT_EQ(log.collect(*peer, ids.size(), 10s), expected);
  // Written as alone: the refused echo's value too (it is written before it is echoed).
  const std::pair<const char*, std::int64_t> values[] = {{"V0", 1}, {"V1", 2}, {"V2", 0}, {"V3", 4},
                                                         {"V4", 5}, {"V5", 6}, {"V6", 7}, {"V7", 8}};
  for (const auto& [member, written] : values) EXPECT_EQ(value(member), written) << member;
  EXPECT_EQ(peer->xrange("SValue:S.Boiler.V3").size(), 1u);
  EXPECT_TRUE(peer->xrange("SValue:S.Boiler.V2").empty());
}

// The stream lost the position the command worker had reached: it reads on from the stream's
// end, since what the stream holds now may be older than anything that may still be run.
TEST_F(CommandDeliveryTest, CommandWrittenWhileTheCommandConnectionIsDownIsNeverExecutedLate) {
  start("S", [](Service& s) { s.commandHandler()->maxWaitMs = 100; });
  CommandPeer first(*peer, "S");
  const std::string reached = first.send(setCommand("S.Boiler.Count", "6"));
  ASSERT_EQ(first.response(reached), success(reached));
  // The command connection fails, and keeps failing, on a command stream that is not a stream.
  peer->command({"DEL", "S.Commands"});
  peer->str({"SET", "S.Commands", "not a stream"});
  ASSERT_TRUE(waitFor(Attr::kCommandConnectionState, false));
  // While it is down the stream comes back at once holding a command.
  peer->command({"MULTI"});
  peer->command({"DEL", "S.Commands"});
  peer->command({"XADD", "S.Commands", "*", "cmd", "set", "name", "S.Boiler.Count", "value", "7"});
  const std::string late(peer->command({"EXEC"})->element[1]->str);
  ASSERT_TRUE(waitFor(Attr::kCommandConnectionState, true));
  CommandPeer commands(*peer, "S");
  const std::string next = commands.send(setCommand("S.Boiler.Count", "8"));
  EXPECT_EQ(commands.response(next), success(next));
  EXPECT_FALSE(commands.response(late, 100ms));
  EXPECT_EQ(value("Count"), 8);
}

// ---- registration hand-off ----

// A model whose registration takes about a second, most of it after the service record is
// written: 100 areas of 999 devices with 8 members each, and the Boiler. A fifth of it under the
// sanitizers, whose tenfold slowdown would make the command older than it may be when run.
class RegistrationHandOffTest : public CommandDeliveryTest {
 protected:
  void SetUp() override {
    CommandDeliveryTest::SetUp();
    std::vector<host::AttributeSpec> members;
    for (const char* name : {"Enabled", "Running", "Fault", "Local"}) {
      members.push_back(host::AttributeSpec(name, NativeType::kBool));
    }
    for (const char* name : {"Level", "Setpoint", "Flow", "Pressure"}) {
      members.push_back(host::AttributeSpec(name, NativeType::kDouble));
    }
    for (int area = 0; area < 100 / tul::test::kSanitizerSlowdown; ++area) {
      auto parent = harness.model().addElement({"Area" + std::to_string(area), "", {}, members});
      for (int device = 0; device < 999; ++device) {
        harness.model().addElement({"Device" + std::to_string(device), "", {}, members}, parent.get());
      }
    }
  }

  // A peer that adds a "set" as soon as the service record is in "Services", while the walk is
  // still going on, gets exactly one response. lateConnection: the command connection must not
  // be up yet at that moment.
  void setAsSoonAsTheServiceRecordIsBack(std::int64_t count, bool lateConnection) {
    RedisClient client(server);
    ASSERT_TRUE(waitUntil([&] { return client.integer({"HEXISTS", "Services", "S"}) == 1; }, 10s, 1ms));
    const std::string id = client.xadd("S.Commands", setCommand("S.Boiler.Count", std::to_string(count)));
    ASSERT_EQ(client.integer({"HLEN", "S.DataPoints"}), 0) << "the walk was already over";
    if (lateConnection) {
      ASSERT_FALSE(tul::test::flagAttribute(*service, Attr::kCommandConnectionState));
    }
    CommandPeer commands(client, "S");
    EXPECT_EQ(commands.response(id, 20s), success(id));
    EXPECT_EQ(value("Count"), count);
    // Registered again before the next step: a stop in the middle of the walk would take long.
    ASSERT_TRUE(waitUntil([&] { return client.integer({"HLEN", "S.DataPoints"}) > 0; }, 30s));
    ASSERT_TRUE(waitFor(Attr::kIsServiceRegistered, true, 10s));
    std::size_t answers = 0;
    for (const auto& entry : client.xrange("S.Commands")) {
      answers += std::count(entry.fields.begin(), entry.fields.end(),
                            std::pair<std::string, std::string>("responseId", id));
    }
    EXPECT_EQ(answers, 1u);
  }
};

TEST_F(RegistrationHandOffTest, CommandAddedOnceTheServiceRecordIsBackIsAnsweredAfterStartAndRedisRestart) {
  start(
      "S", [](Service& s) { s.dataHandler()->maxWaitMs = 1000; }, false);
  setAsSoonAsTheServiceRecordIsBack(1, false);

  // Stopped right after the data connection's keep-alive: for about 1 s only the command
  // worker notices, failing again and again (0, 0, 100, 200, 400 ms apart), so once Redis is
  // back it connects only 800 ms after the data connection, well after the registration run
  // has written the service record.
  peer->command({"CONFIG", "RESETSTAT"});
  // The idle data connection's keep-alive is the refresh of its status key.
  ASSERT_TRUE(waitUntil([&] { return peer->commandStats()["set"] > 0; }, 5s));
  server.stop();
  ASSERT_TRUE(waitFor(Attr::kDataConnectionState, false, 5s));
  std::this_thread::sleep_for(1s);  // the back-off still running ends; the worker waits for data
  server.start();
  peer = std::make_unique<RedisClient>(server);
  host::runTask(service->reconnectTask());
  setAsSoonAsTheServiceRecordIsBack(2, true);
}

}  // namespace
