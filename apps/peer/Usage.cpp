#include "peer/Usage.h"

namespace ormanta::peer {
namespace {

struct CommandHelp {
  std::string_view name;
  std::string_view synopsis;
  std::string_view text;
  std::string_view example;
};

constexpr CommandHelp kCommands[] = {
    {"services", "services", "Every service registered on the server, with its keys.",
     "tul-peer -p 16392 services"},
    {"status", "status", "Every registered service, and whether it serves (from its status key).",
     "tul-peer -p 16392 status"},
    {"browse", "browse SERVICE [PATTERN] [--values]",
     "The data points of SERVICE with their members' types, sizes and access (r, w, b). PATTERN\n"
     "keeps the members whose paths it matches; --values adds each readable member's current value.",
     "tul-peer -p 16392 browse Plant 'BoilerHouse.*' --values"},
    {"read", "read SERVICE MEMBER|PATTERN...", "The current value of each member, then ends.",
     "tul-peer -p 16392 read Plant 'BoilerHouse.Boiler1.*' --json"},
    {"watch", "watch SERVICE MEMBER|PATTERN... [--interval MS] [--table]",
     "Each member's values as they change, until Ctrl-C; it rides out a restart of Redis or of the\n"
     "service. --table: one row per member (value, time of the last change, changes seen), updated\n"
     "in place like top; lines instead when standard output is not a terminal. --interval: the\n"
     "sampling interval asked for (default 500 ms; a member's interval is shared by its subscribers).",
     "tul-peer -p 16392 watch Plant '*.Temp' --table"},
    {"set", "set SERVICE MEMBER=VALUE...",
     "Writes the values in one command; one result line per member. The value is checked against\n"
     "the member's type before anything is sent: Bool takes true, false, 1 or 0 (any case) and sends\n"
     "true or false; Int and UInt take decimal digits within the member's size; Real takes a number\n"
     "in decimal (82, 82.5, 8.25e1; a point, not a comma), inf or nan; String takes any text.",
     "tul-peer -p 16392 set Plant BoilerHouse.Boiler1.Setpoint=82.5 BoilerHouse.Boiler1.Running=1"},
    {"web", "web [--listen HOST[:PORT]]",
     "A live web view: services, a tree of data points with a filter, a watch list with trends, sets.\n"
     "Listens on 127.0.0.1:8080 by default; any other address needs the access token it prints.",
     "tul-peer -p 16392 web --listen 127.0.0.1:8080"},
};

constexpr std::string_view kCommon =
    "Server: -h HOST -p PORT (as redis-cli), or --address HOST:PORT, or the environment variable\n"
    "TUL_ADDRESS=HOST:PORT; default 127.0.0.1:6379.\n"
    "Security, as redis-cli takes it: --user NAME, --pass PASSWORD (or REDISCLI_AUTH), --tls,\n"
    "--cacert FILE, --cert FILE --key FILE, --sni NAME.\n"
    "Sentinel: --sentinel-master NAME [--sentinel-user NAME --sentinel-pass PASSWORD]; --address then\n"
    "lists the sentinels, HOST[:PORT],HOST[:PORT],... (port 26379 by default).\n"
    "Cluster: --cluster; --address then lists seed nodes of a Redis Cluster, HOST[:PORT],...; each\n"
    "request goes to the node that owns its key.\n"
    "--json: one JSON object per line, values typed by the member's type (numbers, true/false, texts).\n"
    "MEMBER: a member path, with or without the service name in front (BoilerHouse.Boiler1.Temp).\n"
    "PATTERN: a glob over member paths: * any characters (dots too), ? one, [abc] one of a set;\n"
    "quote it for the shell ('*.Temp').\n"
    "Exit status: 0 done, 1 failed, 2 bad arguments.\n";

}  // namespace

std::string toolUsage() {
  std::string text = "usage: tul-peer [SERVER] [SECURITY] [--json] COMMAND ...\n\nCommands:\n";
  for (const CommandHelp& command : kCommands) text += "  " + std::string(command.synopsis) + "\n";
  text += "\n" + std::string(kCommon) + "\ntul-peer COMMAND --help shows a command's help with an example.";
  return text;
}

std::string commandUsage(std::string_view name) {
  for (const CommandHelp& command : kCommands) {
    if (command.name != name) continue;
    return "usage: tul-peer [SERVER] [SECURITY] [--json] " + std::string(command.synopsis) + "\n\n" +
           std::string(command.text) + "\n\nExample:\n  " + std::string(command.example) + "\n\n" +
           std::string(kCommon);
  }
  return {};
}

}  // namespace ormanta::peer
