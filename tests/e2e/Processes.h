#pragma once

// The built ormanta-host and tul-peer as child processes of the end-to-end tests.

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "ormanta/utils/json/Decoder.h"
#include "support/ChildProcess.h"
#include "support/TempDirectory.h"

namespace tul::test {

using namespace std::chrono_literals;
namespace json = ormanta::utils::json::decoder;

inline Texts hostArgs(const std::string& model, const Texts& configs, const Texts& extraArgs = {}) {
  Texts args = {ORMANTA_HOST, "--plugin", TUL_MODULE, "--model", model};
  for (const std::string& config : configs) args.insert(args.end(), {"--config", config});
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  return args;
}

inline std::string serviceConfig(const std::string& address, const std::string& serviceName) {
  return R"({"address":")" + address + R"(","serviceName":")" + serviceName + R"("})";
}

// One JSON line of ormanta-host, flattened to dotted paths: "type", "service", "event",
// "attributes.state" ("true"/"false"), "attributes.error.value", "path", "value", "message".
using HostLine = std::map<std::string, std::string>;

inline void flatten(const json::Value& value, const std::string& path, HostLine& line) {
  if (value.kind() == json::Kind::kObject) {
    const auto object = value.asObject();
    for (auto cursor = object.begin(); cursor != object.end(); object.step(cursor)) {
      const std::string name((*cursor).name());
      flatten((*cursor).value(), path.empty() ? name : path + "." + name, line);
    }
  } else if (value.kind() == json::Kind::kBool) {
    line[path] = value.asBool() ? "true" : "false";
  } else {
    line[path] = value.kind() == json::Kind::kNumber ? std::to_string(value.asInt64())
                                                     : std::string(value.asString().view());
  }
}

// ormanta-host with the built plug-in, the model file and one service per configuration.
class Host {
 public:
  Host(const TempDirectory& dir, const std::string& model, const Texts& configs,
       const Texts& extraArgs = {"--reconnect-every", "500"})
      : process(hostArgs(model, configs, extraArgs), dir.fresh("host-stderr")) {}

  // Reads lines until one satisfies pred; empty when timeout passes (or output ends) first.
  std::optional<HostLine> waitFor(const std::function<bool(HostLine&)>& pred,
                                  std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::optional<std::string> text = process.readLine(until(deadline))) {
      output += *text + "\n";
      HostLine line;
      flatten(json::Document::parse(*text).root(), "", line);
      if (line["type"] == "attributes") latest[line["service"]] = line;
      if (pred(line)) return line;
    }
    return std::nullopt;
  }
  // Until the service's latest attributes (a line already read counts) satisfy pred.
  std::optional<HostLine> waitForAttributes(const std::string& service,
                                            const std::function<bool(HostLine&)>& pred,
                                            std::chrono::milliseconds timeout = 10s) {
    if (latest.contains(service) && pred(latest[service])) return latest[service];
    return waitFor(
        [&](HostLine& l) { return l["type"] == "attributes" && l["service"] == service && pred(l); },
        timeout);
  }
  bool waitUntilServing(const std::string& service) {
    const auto serving = [](HostLine& l) {
      return l["attributes.state"] == "true" && l["attributes.isServiceRegistered"] == "true";
    };
    return waitForAttributes(service, serving).has_value();
  }
  void send(const std::string& line) { process.writeLine(line); }
  // "read PATH": the value text, or "error: <message>".
  std::string read(const std::string& path) {
    send("read " + path);
    auto line = waitFor(
        [&](HostLine& l) { return (l["type"] == "value" && l["path"] == path) || l["type"] == "error"; }, 5s);
    return !line ? "timeout" : (*line)["type"] == "value" ? (*line)["value"] : "error: " + (*line)["message"];
  }

  ChildProcess process;
  std::map<std::string, HostLine> latest;  // each service's latest attributes line
  std::string output;                      // every line read so far
};

struct PeerResult {
  int status = -1;  // -1: did not end in time (then killed)
  std::string out;
  std::string err;
};

// Runs tul-peer with args to its end (at most 10 s), with REDISCLI_AUTH set to auth when given
// and unset otherwise; TUL_ADDRESS (a demo user's export) is unset.
inline PeerResult runPeer(const TempDirectory& dir, const Texts& args, const char* auth = nullptr) {
  Texts argv = {"/usr/bin/env", "-u", "REDISCLI_AUTH", "-u", "TUL_ADDRESS"};
  if (auth != nullptr) argv.push_back(std::string("REDISCLI_AUTH=") + auth);
  argv.push_back(TUL_PEER);
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess peer(argv, dir.fresh("peer-stderr"));
  peer.closeStdin();
  PeerResult result;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::optional<std::string> line = peer.readLine(until(deadline))) result.out += *line + "\n";
  result.status = peer.wait(until(deadline)).value_or(-1);
  result.err = peer.stderrText();
  return result;
}

}  // namespace tul::test
