#pragma once

// The suite's side of the Redis server: its address, its statistics, and redis-benchmark run
// against it as the anchor of a figure.

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "support/RedisClient.h"

namespace tul::bench {

struct ServerAddress {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string text() const { return host + ":" + std::to_string(port); }
};

// "HOST:PORT".
ServerAddress parseAddress(const std::string& text);

// Empties the server (FLUSHALL) and zeroes its command statistics (CONFIG RESETSTAT).
void resetServer(test::RedisClient& client);
// A field of INFO (any section), e.g. "used_memory"; 0 when absent.
long long infoNumber(test::RedisClient& client, const std::string& section, const std::string& field);

// One result line of `redis-benchmark --csv`; latencies in microseconds.
struct BenchmarkResult {
  std::string test;
  double requestsPerSecond = 0;
  double p50Us = 0;
  double p99Us = 0;
};

// Runs redis-benchmark against the server with `-q --csv` and the arguments given (options,
// then the command for a custom test), killing it after `limit`. Throws std::runtime_error
// when it fails or prints no result.
std::vector<BenchmarkResult> redisBenchmark(const ServerAddress& server,
                                            const std::vector<std::string>& arguments,
                                            std::chrono::seconds limit);
// The result of a custom command: the one line redis-benchmark prints.
BenchmarkResult redisBenchmarkCommand(const ServerAddress& server, const std::vector<std::string>& arguments,
                                      std::chrono::seconds limit);

// The PING round trip: `redis-benchmark -c 1 -P 1 -n 20000 -t ping`, its PING_MBULK line
// (RESP-framed PING, as a client library sends it).
BenchmarkResult pingRoundTrip(const ServerAddress& server);

}  // namespace tul::bench
