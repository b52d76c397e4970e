// tul-peer: a peer of TUL services on a Redis server.
//   tul-peer [--address HOST[:PORT]] services
//   tul-peer [--address HOST[:PORT]] browse SERVICE
//   tul-peer [--address HOST[:PORT]] watch SERVICE MEMBER... [--interval MS]
//   tul-peer [--address HOST[:PORT]] set SERVICE MEMBER=VALUE...
// Exit status: 0 done, 1 failed (connection, error response, no response), 2 bad arguments.

#include <atomic>
#include <charconv>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "peer/Address.h"
#include "peer/PeerCommands.h"
#include "peer/PeerConnection.h"

namespace {

constexpr const char* kUsage =
    "usage: tul-peer [--address HOST[:PORT]] services | browse SERVICE | watch SERVICE MEMBER... [--interval "
    "MS] | "
    "set SERVICE MEMBER=VALUE...";

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void onStopSignal(int) { stopRequested.store(true); }

int usageError(const std::string& message) {
  std::cerr << "tul-peer: " << message << " (" << kUsage << ")" << std::endl;
  return 2;
}

struct Arguments {
  std::string address;
  std::string command;
  std::vector<std::string> operands;
  long long intervalMs = 500;
};

// Options may stand anywhere; "--name value" or "--name=value".
bool parseArguments(int argc, char** argv, Arguments& arguments, std::string& problem) {
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    std::string value;
    const bool isOption = argument.rfind("--", 0) == 0;
    const std::size_t equals = argument.find('=');
    const bool hasInline = isOption && equals != std::string::npos;
    if (hasInline) {
      value = argument.substr(equals + 1);
      argument = argument.substr(0, equals);
    }
    if (argument == "--address" || argument == "--interval") {
      if (!hasInline) {
        if (i + 1 >= argc) return problem = "option " + argument + " needs a value", false;
        value = argv[++i];
      }
      if (argument == "--address") {
        arguments.address = value;
      } else {
        auto [next, error] = std::from_chars(value.data(), value.data() + value.size(), arguments.intervalMs);
        if (value.empty() || error != std::errc() || next != value.data() + value.size() ||
            arguments.intervalMs < 0) {
          return problem = "--interval needs milliseconds, not \"" + value + "\"", false;
        }
      }
    } else if (isOption) {
      return problem = "unknown option " + argument, false;
    } else if (arguments.command.empty()) {
      arguments.command = argument;
    } else {
      arguments.operands.push_back(argument);
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  std::string problem;
  if (!parseArguments(argc, argv, arguments, problem)) return usageError(problem);
  const std::string& command = arguments.command;
  const std::vector<std::string>& operands = arguments.operands;
  if (command.empty()) return usageError("missing command");
  if (command == "services") {
    if (!operands.empty()) return usageError("services takes no operands");
  } else if (command == "browse") {
    if (operands.size() != 1) return usageError("browse needs one SERVICE");
  } else if (command == "watch") {
    if (operands.size() < 2) return usageError("watch needs SERVICE and at least one MEMBER");
  } else if (command == "set") {
    if (operands.size() < 2) return usageError("set needs SERVICE and at least one MEMBER=VALUE");
    for (std::size_t i = 1; i < operands.size(); ++i) {
      if (operands[i].find('=') == std::string::npos || operands[i].front() == '=') {
        return usageError("\"" + operands[i] + "\" is not MEMBER=VALUE");
      }
    }
  } else {
    return usageError("unknown command \"" + command + "\"");
  }

  ormanta::peer::Address address;
  try {
    address = ormanta::peer::parseAddress(arguments.address);
  } catch (const std::exception& error) {
    return usageError(error.what());
  }

  std::signal(SIGINT, onStopSignal);
  std::signal(SIGTERM, onStopSignal);
  try {
    ormanta::peer::PeerConnection connection(address);
    if (command == "services") return ormanta::peer::listServices(connection, std::cout);
    if (command == "browse") return ormanta::peer::browse(connection, operands[0], std::cout, std::cerr);
    const std::vector<std::string> rest(operands.begin() + 1, operands.end());
    if (command == "watch") {
      ormanta::peer::WatchOptions options;
      options.interval = std::chrono::milliseconds(arguments.intervalMs);
      return ormanta::peer::watch(connection, operands[0], rest, options, stopRequested, std::cout,
                                  std::cerr);
    }
    return ormanta::peer::set(connection, operands[0], rest, std::cout, std::cerr);
  } catch (const std::exception& error) {
    std::cerr << "tul-peer: " << error.what() << std::endl;
    return 1;
  }
}
