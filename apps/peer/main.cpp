// tul-peer: a peer of TUL services on a Redis server; the commands and options are in
// Usage.cpp (tul-peer --help, tul-peer COMMAND --help).
// Exit status: 0 done, 1 failed (connection, error response, no response), 2 bad arguments.

#include <atomic>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "peer/Address.h"
#include "peer/PeerCommands.h"
#include "peer/PeerConnection.h"
#include "peer/Usage.h"
#include "peer/web/WebServer.h"

namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void onStopSignal(int) { stopRequested.store(true); }

int usageError(const std::string& message, const std::string& command = "") {
  std::cerr << "tul-peer: " << message << " (tul-peer " << (command.empty() ? "" : command + " ")
            << "--help shows how)" << std::endl;
  return 2;
}

struct Arguments {
  std::string address;
  std::string host;                                         // -h
  std::string port;                                         // -p
  ormanta::plugins::TulService::SentinelSettings sentinel;  // used when it names a master
  std::string command;
  std::vector<std::string> operands;
  long long intervalMs = 500;
  std::string listen = "127.0.0.1:8080";
  ormanta::plugins::TulService::ConnectionSecurity security;
  bool passGiven = false;
  bool json = false;
  bool cluster = false;
  bool values = false;
  bool table = false;
  bool help = false;
};

// The option's field for the options that take a text as it stands.
std::string* textOption(const std::string& option, Arguments& arguments) {
  auto& security = arguments.security;
  if (option == "--listen") return &arguments.listen;
  if (option == "--sentinel-master") return &arguments.sentinel.master;
  if (option == "--sentinel-user") return &arguments.sentinel.username;
  if (option == "--sentinel-pass") return &arguments.sentinel.password;
  if (option == "--user") return &security.username;
  if (option == "--pass") return &security.password;
  if (option == "--cacert") return &security.tlsCaFile;
  if (option == "--cert") return &security.tlsCertFile;
  if (option == "--key") return &security.tlsKeyFile;
  if (option == "--sni") return &security.tlsServerName;
  return nullptr;
}

// Combinations that would not do what they seem to: fails naming the option.
bool checkSecurity(Arguments& arguments, std::string& problem) {
  auto& security = arguments.security;
  if (!arguments.passGiven) {
    if (const char* password = std::getenv("REDISCLI_AUTH")) security.password = password;
  }
  if (!security.username.empty() && security.password.empty()) {
    return problem = "--user needs --pass (or REDISCLI_AUTH)", false;
  }
  const auto& sentinel = arguments.sentinel;
  if (sentinel.master.empty() && !(sentinel.username + sentinel.password).empty()) {
    return problem = "--sentinel-user and --sentinel-pass need --sentinel-master", false;
  }
  if (!sentinel.username.empty() && sentinel.password.empty()) {
    return problem = "--sentinel-user needs --sentinel-pass", false;
  }
  if (security.tlsCertFile.empty() != security.tlsKeyFile.empty()) {
    return problem = security.tlsCertFile.empty() ? "--key needs --cert" : "--cert needs --key", false;
  }
  if (!security.tls) {
    for (const auto& [option, value] :
         {std::pair{"--cacert", &security.tlsCaFile}, std::pair{"--cert", &security.tlsCertFile},
          std::pair{"--key", &security.tlsKeyFile}, std::pair{"--sni", &security.tlsServerName}}) {
      if (!value->empty()) return problem = std::string(option) + " needs --tls", false;
    }
  }
  return true;
}

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
    if (argument == "--help" || (argument == "-h" && i + 1 >= argc)) {
      arguments.help = true;
    } else if (argument == "-h" || argument == "-p") {
      if (i + 1 >= argc) return problem = "option -p needs a value", false;
      (argument == "-h" ? arguments.host : arguments.port) = argv[++i];
    } else if (argument == "--tls" && !hasInline) {
      arguments.security.tls = true;
    } else if (argument == "--json" && !hasInline) {
      arguments.json = true;
    } else if (argument == "--cluster" && !hasInline) {
      arguments.cluster = true;
    } else if (argument == "--values" && !hasInline) {
      arguments.values = true;
    } else if (argument == "--table" && !hasInline) {
      arguments.table = true;
    } else if (std::string* text = textOption(argument, arguments)) {
      if (!hasInline) {
        if (i + 1 >= argc) return problem = "option " + argument + " needs a value", false;
        value = argv[++i];
      }
      *text = value;
      if (argument == "--pass") arguments.passGiven = true;
    } else if (argument == "--address" || argument == "--interval") {
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
  if (arguments.help) return true;
  try {
    arguments.address = ormanta::peer::chooseAddress(arguments.address, arguments.host, arguments.port,
                                                     std::getenv("TUL_ADDRESS"));
  } catch (const std::invalid_argument& error) {
    return problem = error.what(), false;
  }
  return checkSecurity(arguments, problem);
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  std::string problem;
  const bool parsed = parseArguments(argc, argv, arguments, problem);
  const std::string& command = arguments.command;
  if (arguments.help) {
    const std::string usage = ormanta::peer::commandUsage(command);
    std::cout << (usage.empty() ? ormanta::peer::toolUsage() : usage) << std::endl;
    return 0;
  }
  if (!parsed) return usageError(problem, ormanta::peer::commandUsage(command).empty() ? "" : command);
  const std::vector<std::string>& operands = arguments.operands;
  if (command.empty()) return usageError("missing command");
  if (command == "services" || command == "status") {
    if (!operands.empty()) return usageError(command + " takes no operands", command);
  } else if (command == "browse") {
    if (operands.empty() || operands.size() > 2) return usageError("browse needs SERVICE [PATTERN]", command);
  } else if (command == "watch" || command == "read") {
    if (operands.size() < 2) return usageError(command + " needs SERVICE and at least one MEMBER", command);
  } else if (command == "web") {
    if (!operands.empty()) return usageError("web takes no operands", command);
  } else if (command == "set") {
    if (operands.size() < 2) return usageError("set needs SERVICE and at least one MEMBER=VALUE", command);
    for (std::size_t i = 1; i < operands.size(); ++i) {
      if (operands[i].find('=') == std::string::npos || operands[i].front() == '=') {
        return usageError("\"" + operands[i] + "\" is not MEMBER=VALUE", command);
      }
    }
  } else {
    return usageError("unknown command \"" + command + "\"");
  }
  if (arguments.values && command != "browse") return usageError("--values is an option of browse", command);
  if (arguments.table && command != "watch") return usageError("--table is an option of watch", command);

  ormanta::peer::Address address;
  ormanta::plugins::TulService::ServerLocator locator;  // with --sentinel-master
  const bool sentinels = !arguments.sentinel.master.empty();
  try {
    if (sentinels && arguments.cluster) {
      throw std::invalid_argument("--cluster and --sentinel-master exclude each other");
    } else if (arguments.cluster) {
      const std::vector<std::string> seeds = ormanta::plugins::TulService::parseAddressList(
          arguments.address.empty() ? "127.0.0.1" : arguments.address, "--address", "6379");
      for (const std::string& seed : seeds) ormanta::peer::parseAddress(seed);
      locator.configure(arguments.address.empty() ? "127.0.0.1" : arguments.address, arguments.security,
                        std::nullopt, true);
    } else if (sentinels) {
      auto& settings = arguments.sentinel;
      try {
        settings.addresses =
            settings.parseAddresses(arguments.address.empty() ? "127.0.0.1" : arguments.address);
      } catch (const std::invalid_argument&) {
        const std::string given = "\"" + arguments.address + "\"";
        throw std::invalid_argument("--address must list the sentinels as HOST[:PORT],..., not " + given);
      }
      for (const std::string& sentinel : settings.addresses) ormanta::peer::parseAddress(sentinel);
      locator.configure({}, arguments.security, settings);
    } else {
      address = ormanta::peer::parseAddress(arguments.address);
    }
  } catch (const std::exception& error) {
    return usageError(error.what());
  }

  std::signal(SIGINT, onStopSignal);
  std::signal(SIGTERM, onStopSignal);
  try {
    const auto connect = [&] {
      if (arguments.cluster)
        return std::make_unique<ormanta::peer::PeerConnection>(locator,
                                                               ormanta::peer::PeerConnection::Cluster{});
      return sentinels ? std::make_unique<ormanta::peer::PeerConnection>(locator)
                       : std::make_unique<ormanta::peer::PeerConnection>(address, arguments.security);
    };
    const std::vector<std::string> rest(operands.empty() ? operands.end() : operands.begin() + 1,
                                        operands.end());
    if (command == "web") {
      ormanta::peer::web::WebOptions options{
          arguments.listen,
          sentinels ? "the sentinels' primary for " + arguments.sentinel.master : address.text()};
      return ormanta::peer::web::serveWeb(connect, options, stopRequested, std::cout, std::cerr);
    }
    if (command == "watch") {
      // Its own connections: it outlives a Redis restart.
      ormanta::peer::WatchOptions options;
      options.interval = std::chrono::milliseconds(arguments.intervalMs);
      options.json = arguments.json;
      options.table = arguments.table;
      return ormanta::peer::watch(connect, operands[0], rest, options, stopRequested, std::cout, std::cerr);
    }
    const std::unique_ptr<ormanta::peer::PeerConnection> owned = connect();
    ormanta::peer::PeerConnection& connection = *owned;
    if (command == "services") return ormanta::peer::listServices(connection, arguments.json, std::cout);
    if (command == "status") return ormanta::peer::listStatus(connection, arguments.json, std::cout);
    if (command == "browse") {
      const ormanta::peer::BrowseOptions options{operands.size() > 1 ? operands[1] : "", arguments.values,
                                                 arguments.json};
      return ormanta::peer::browse(connection, operands[0], options, std::cout, std::cerr);
    }
    if (command == "read")
      return ormanta::peer::read(connection, operands[0], rest, arguments.json, std::cout, std::cerr);
    return ormanta::peer::set(connection, operands[0], rest, arguments.json, std::cout, std::cerr);
  } catch (const std::exception& error) {
    std::cerr << "tul-peer: " << error.what() << std::endl;
    return 1;
  }
}
