#include "RedisTools.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "Measure.h"

namespace tul::bench {
namespace {

// The fields of one CSV line of redis-benchmark: every field is quoted, none holds a quote
// unless the command does.
std::vector<std::string> csvFields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  bool quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.push_back(std::move(field));
      field.clear();
    } else if (c != '\r') {
      field += c;
    }
  }
  fields.push_back(std::move(field));
  return fields;
}

// Runs argv with its standard output read back; kills it after limit.
std::string runCaptured(const std::vector<std::string>& argv, std::chrono::seconds limit) {
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::system_error(errno, std::system_category(), "pipe2");
  std::vector<const char*> pointers;
  for (const std::string& argument : argv) pointers.push_back(argument.c_str());
  pointers.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) throw std::system_error(errno, std::system_category(), "fork");
  if (child == 0) {  // only async-signal-safe calls until exec
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(pipeEnds[1], STDOUT_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY);
    if (devNull >= 0) ::dup2(devNull, STDERR_FILENO);
    ::execvp(pointers[0], const_cast<char* const*>(pointers.data()));
    ::_exit(127);
  }
  ::close(pipeEnds[1]);
  std::string output;
  const auto deadline = Clock::now() + limit;
  bool timedOut = false;
  for (char buffer[4096];;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd readable{pipeEnds[0], POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(left)) < 0 && errno != EINTR) break;
    const ssize_t got = ::read(pipeEnds[0], buffer, sizeof buffer);
    if (got == 0) break;
    if (got > 0) output.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipeEnds[0]);
  if (timedOut) ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (timedOut)
    throw std::runtime_error(fmt::format("{} did not finish within {} s", argv[0], limit.count()));
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(fmt::format("{} failed (status {}); is it installed?", argv[0], status));
  }
  return output;
}

}  // namespace

ServerAddress parseAddress(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) throw std::invalid_argument("address is not HOST:PORT: " + text);
  return {text.substr(0, colon), std::stoi(text.substr(colon + 1))};
}

void resetServer(test::RedisClient& client) {
  client.str({"FLUSHALL"});
  client.str({"CONFIG", "RESETSTAT"});
}

long long infoNumber(test::RedisClient& client, const std::string& section, const std::string& field) {
  std::stringstream lines(client.str({"INFO", section}));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stoll(line.substr(field.size() + 1));
  }
  return 0;
}

std::vector<BenchmarkResult> redisBenchmark(const ServerAddress& server,
                                            const std::vector<std::string>& arguments,
                                            std::chrono::seconds limit) {
  std::vector<std::string> argv = {"redis-benchmark",           "-h", server.host, "-p",
                                   std::to_string(server.port), "-q", "--csv"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::stringstream lines(runCaptured(argv, limit));
  std::vector<BenchmarkResult> results;
  for (std::string line; std::getline(lines, line);) {
    const std::vector<std::string> fields = csvFields(line);
    // "test","rps","avg_latency_ms","min_latency_ms","p50_latency_ms","p95_latency_ms","p99_latency_ms",...
    if (fields.size() < 7 || fields[0] == "test") continue;
    results.push_back(
        {fields[0], std::stod(fields[1]), std::stod(fields[4]) * 1000, std::stod(fields[6]) * 1000});
  }
  if (results.empty()) throw std::runtime_error("redis-benchmark printed no result");
  return results;
}

BenchmarkResult redisBenchmarkCommand(const ServerAddress& server, const std::vector<std::string>& arguments,
                                      std::chrono::seconds limit) {
  return redisBenchmark(server, arguments, limit).back();
}

BenchmarkResult pingRoundTrip(const ServerAddress& server) {
  for (const BenchmarkResult& result : redisBenchmark(
           server, {"-c", "1", "-P", "1", "-n", "20000", "-t", "ping"}, std::chrono::seconds(60))) {
    if (result.test == "PING_MBULK") return result;
  }
  throw std::runtime_error("redis-benchmark printed no PING_MBULK result");
}

}  // namespace tul::bench
