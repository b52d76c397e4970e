#pragma once

// Runs the built ormanta-host and tul-peer for the end-to-end tests.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace tul::test {

using namespace std::chrono_literals;

// One JSON line of ormanta-host, decoded.
struct HostLine {
  struct ErrorCode {
    std::int64_t value = 0;
    std::string category;
    std::string message;
  };

  std::string text;
  std::string type;  // "attributes", "event", "value", "error"
  std::string service;
  std::string event;
  std::string time;
  std::string path;
  std::string value;
  std::string message;
  std::map<std::string, std::string> texts;  // string attributes
  std::map<std::string, bool> flags;         // boolean attributes
  std::map<std::string, ErrorCode> errors;   // error code attributes

  bool isEvent(const std::string& name) const { return type == "event" && event == name; }
  bool flag(const std::string& name) const {
    auto found = flags.find(name);
    return found != flags.end() && found->second;
  }
};

// Throws std::invalid_argument for a line that is not one of the runner's objects.
HostLine parseHostLine(const std::string& text);

// ormanta-host with the built plug-in; every line it prints is decoded and kept.
class HostProcess {
 public:
  HostProcess(const std::filesystem::path& model, const std::vector<std::string>& configs,
              const TempDirectory& dir, std::vector<std::string> extraArgs = {"--reconnect-every", "500"});

  // Reads lines until one satisfies pred; empty when timeout passes first (or output ends).
  std::optional<HostLine> waitFor(const std::function<bool(const HostLine&)>& pred,
                                  std::chrono::milliseconds timeout = 10s);
  // Waits for a service's attributes line that satisfies pred; the latest line of the service
  // already read counts too.
  std::optional<HostLine> waitForAttributes(const std::string& service,
                                            const std::function<bool(const HostLine&)>& pred,
                                            std::chrono::milliseconds timeout = 10s);
  // Waits until the service is connected and registered.
  bool waitUntilServing(const std::string& service, std::chrono::milliseconds timeout = 10s);

  void send(const std::string& line) { process_.writeLine(line); }
  // "read PATH": the value text; an error line's message as "error: ..." instead.
  std::string read(const std::string& path);

  ChildProcess& process() { return process_; }
  const std::vector<HostLine>& history() const { return history_; }

 private:
  ChildProcess process_;
  std::vector<HostLine> history_;
};

struct PeerResult {
  int status = -1;  // -1: did not end in time (then killed)
  std::string out;
  std::string err;
};

// Runs tul-peer to its end (at most timeout).
PeerResult runPeer(const std::vector<std::string>& args, const TempDirectory& dir,
                   std::chrono::milliseconds timeout = 10s);

std::vector<std::string> hostArgs(const std::filesystem::path& model, const std::vector<std::string>& configs,
                                  const std::vector<std::string>& extraArgs);

// The service configuration text for an address and a service name.
std::string serviceConfig(const std::string& address, const std::string& serviceName);

// Collapses runs of blanks into one space: table rows compare without their padding.
std::string squeezeBlanks(const std::string& text);

}  // namespace tul::test
