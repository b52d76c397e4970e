// tul-bench: one figure of the performance suite per run, against a Redis server given with
// --redis HOST:PORT (bench/run-benchmarks.sh starts one for the whole suite) or, without it,
// a private one of its own.
//
//   tul-bench FIGURE [--redis HOST:PORT] [--idle-seconds N]
//
// Rows of the table go to standard output (Report.h), progress to standard error.

#include <cstdio>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "Figures.h"
#include "support/RedisServer.h"

namespace {

using tul::bench::ServerAddress;

int usage() {
  std::fputs(
      "usage: tul-bench FIGURE [--redis HOST:PORT] [--idle-seconds N]\n"
      "figures: publish-10k publish-100k pass change latency sets registration registration-1m idle memory\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string figure = argv[1];
  std::string address;
  int idleSeconds = 21;
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--redis" && i + 1 < argc) {
      address = argv[++i];
    } else if (option == "--idle-seconds" && i + 1 < argc) {
      idleSeconds = std::stoi(argv[++i]);
    } else {
      return usage();
    }
  }
  try {
    std::unique_ptr<tul::test::RedisServer> own;
    if (address.empty()) {
      own = std::make_unique<tul::test::RedisServer>();
      address = own->address();
    }
    const ServerAddress server = tul::bench::parseAddress(address);
    const std::map<std::string, std::function<void()>> figures = {
        {"publish-10k", [&] { tul::bench::publishingThroughput(server, 10'000); }},
        {"publish-100k", [&] { tul::bench::publishingThroughput(server, 100'000); }},
        {"publish-cluster", [] { tul::bench::clusterPublishingThroughput(10'000); }},
        {"pass", [&] { tul::bench::passCost(server); }},
        {"change", [&] { tul::bench::changePath(); }},
        {"latency", [&] { tul::bench::changeToPeer(server); }},
        {"sets", [&] { tul::bench::setCommands(server); }},
        {"registration", [&] { tul::bench::registrationThroughput(server); }},
        {"registration-1m", [&] { tul::bench::registrationMemory(server, 1'000'000); }},
        {"idle", [&] { tul::bench::idleCost(server, idleSeconds); }},
        {"memory", [&] { tul::bench::memoryPerMember(server); }},
    };
    const auto found = figures.find(figure);
    if (found == figures.end()) return usage();
    found->second();
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tul-bench %s: %s\n", figure.c_str(), error.what());
    return 1;
  }
}
