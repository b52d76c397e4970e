// Figure 7: what an idle service sends.

#include <hiredis/hiredis.h>
#include <poll.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "Figures.h"
#include "Live.h"
#include "Measure.h"
#include "Report.h"

namespace tul::bench {
namespace {

using namespace std::chrono_literals;

// One command as MONITOR shows it: `1700000000.123456 [0 127.0.0.1:43210] "PING"`.
struct Monitored {
  double time = 0;
  std::string client;
  std::string command;
  std::string firstArgument;
  std::string blockMs;  // the argument after BLOCK, if any
};

Monitored parseMonitorLine(const std::string& line) {
  Monitored seen;
  std::istringstream in(line);
  std::string database;
  in >> seen.time >> database >> seen.client;
  if (!seen.client.empty() && seen.client.back() == ']') seen.client.pop_back();
  std::vector<std::string> words;
  for (std::string word; in >> word;) {
    if (word.size() >= 2 && word.front() == '"' && word.back() == '"') word = word.substr(1, word.size() - 2);
    words.push_back(word);
  }
  if (!words.empty()) {
    for (char c : words[0]) seen.command += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (words.size() > 1) seen.firstArgument = words[1];
  for (std::size_t i = 1; i + 1 < words.size(); ++i) {
    if (words[i] == "BLOCK" || words[i] == "block") seen.blockMs = words[i + 1];
  }
  return seen;
}

// Every command the server runs for `window`, through MONITOR.
std::vector<Monitored> monitor(const ServerAddress& server, std::chrono::duration<double> window) {
  std::unique_ptr<redisContext, decltype(&redisFree)> context(
      redisConnectWithTimeout(server.host.c_str(), server.port, timeval{3, 0}), &redisFree);
  if (!context || context->err != 0) throw std::runtime_error("cannot connect to the server");
  freeReplyObject(redisCommand(context.get(), "MONITOR"));
  void* reply = nullptr;
  std::vector<Monitored> seen;
  const auto end = Clock::now() + window;
  for (;;) {
    while (redisGetReplyFromReader(context.get(), &reply) == REDIS_OK && reply != nullptr) {
      const auto* line = static_cast<redisReply*>(reply);
      if (line->type == REDIS_REPLY_STATUS)
        seen.push_back(parseMonitorLine(std::string(line->str, line->len)));
      freeReplyObject(reply);
      reply = nullptr;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) break;
    pollfd readable{context->fd, POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(left)) > 0 && redisBufferRead(context.get()) != REDIS_OK) {
      throw std::runtime_error("MONITOR connection lost");
    }
  }
  return seen;
}

}  // namespace

void idleCost(const ServerAddress& server, int windowSeconds) {
  test::RedisClient admin(server.host, server.port);
  resetServer(admin);
  LiveService live(server, [](ormanta::host::Model& model) { addElements(model, 1); });
  std::this_thread::sleep_for(1s);  // the command connection's first read is out
  admin.str({"CONFIG", "RESETSTAT"});
  const auto start = Clock::now();
  const std::int64_t process0 = processCpuNs(), main0 = threadCpuNs();
  const std::vector<Monitored> seen = monitor(server, std::chrono::seconds(windowSeconds));
  std::map<std::string, long long> stats = admin.commandStats();
  const double seconds = secondsSince(start);
  // Everything but the bench's main thread (which reads MONITOR) is the service's.
  const double serviceCpuMs =
      static_cast<double>((processCpuNs() - process0) - (threadCpuNs() - main0)) / 1e6;
  for (const char* ours : {"config|resetstat", "info", "monitor"}) stats.erase(ours);
  long long total = 0;
  std::string counts;
  for (const auto& [command, calls] : stats) {
    total += calls;
    counts += fmt::format("{}{} {}", counts.empty() ? "" : ", ", calls, command);
  }

  // Who sent what: the command connection is the one that reads the command stream.
  std::map<std::string, std::vector<const Monitored*>> byClient;
  std::string commandClient;
  for (const Monitored& command : seen) {
    byClient[command.client].push_back(&command);
    if (command.command == "XREAD") commandClient = command.client;
  }
  // The data connection's keep-alive: a PING, or the SET that refreshes the status key
  // "S.Status" in its place.
  std::vector<double> keepAliveTimes;
  std::map<std::string, int> keepAlives;
  long long commandXreads = 0, commandPings = 0, others = 0;
  std::string blockMs;
  for (const auto& [client, commands] : byClient) {
    for (const Monitored* command : commands) {
      if (client == commandClient && command->command == "XREAD") {
        ++commandXreads;
        blockMs = command->blockMs;
      } else if (client == commandClient && command->command == "PING") {
        ++commandPings;
      } else if (client != commandClient &&
                 (command->command == "PING" ||
                  (command->command == "SET" && command->firstArgument == "S.Status"))) {
        keepAliveTimes.push_back(command->time);
        ++keepAlives[command->command];
      } else {
        ++others;
      }
    }
  }
  std::sort(keepAliveTimes.begin(), keepAliveTimes.end());
  std::vector<double> intervals;
  for (std::size_t i = 1; i < keepAliveTimes.size(); ++i)
    intervals.push_back(keepAliveTimes[i] - keepAliveTimes[i - 1]);
  const double interval = percentile(intervals, 0.5);
  std::string keepAlive;
  for (const auto& [command, count] : keepAlives) keepAlive += (keepAlive.empty() ? "" : "/") + command;
  if (keepAlive.empty()) keepAlive = "keep-alive";
  const double perMinute = static_cast<double>(total) * 60 / seconds;
  note(
      "idle for {:.1f} s: service CPU {:.1f} ms; {} (commandstats); MONITOR: data connection {} every {:.2f} "
      "s ({} in "
      "all), command connection {} XREAD (BLOCK {}) and {} PING, {} other commands",
      seconds, serviceCpuMs, counts.empty() ? "nothing" : counts, keepAlive, interval, keepAliveTimes.size(),
      commandXreads, blockMs, commandPings, others);
  // One keep-alive per 3 s on the data connection, one XREAD and one PING per 20 s on the
  // command connection, nothing else.
  const bool met = others == 0 && keepAliveTimes.size() >= 2 && interval >= 2.9 && interval <= 3.3 &&
                   blockMs == "20000" && commandPings <= commandXreads;
  printRow(
      {fmt::format("7. Idle cost (commands per 60 s, from {} s)", windowSeconds),
       fmt::format("{:.0f}: data {} every {:.2f} s; command XREAD BLOCK {} + PING; CPU {:.0f} ms", perMinute,
                   keepAlive, interval, blockMs.empty() ? "?" : blockMs, serviceCpuMs * 60 / seconds),
       "—", std::nullopt, "26: data 1 keep-alive / 3 s; command 1 XREAD + 1 PING / 20 s", met});
}

}  // namespace tul::bench
