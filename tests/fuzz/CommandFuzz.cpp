// One decoded command entry through handleSets (cmd "set") or handleSubscribe (anything else),
// against a fresh service over a model with a member of every native type, answered by a
// recording stand-in for the Redis server. The pending responses are written afterwards as
// the command worker writes them.
//
// Properties, when no reply is made to fail: nothing throws; the command gets exactly one
// response; nothing is written but XADDs to the command stream and to the value streams of
// names the command gave, each echo carrying the value paired with its name; a "success" to a
// set echoed every pair. With a failing reply, only the client's exceptions may leave. After
// the subscriptions are cleared no channel is left.
//
// Input: a byte choosing the reply that fails (0xF0 + n fails request n; below 0xF0 none), a
// byte for the read chunk size, then the entry's fields as lines "field=value".

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "commands/CommandProtocol.h"
#include "commands/SetCommand.h"
#include "commands/SubscribeCommand.h"
#include "plugin/Service.h"
#include "support/ServiceHarness.h"

namespace {

using namespace tul::fuzz;
using TulService::Command;
using TulService::CommandType;

constexpr std::string_view kCommandId = "1-1";

TulService::StreamFieldValues parseFields(Input& input) {
  TulService::StreamFieldValues fields;
  while (!input.empty()) {
    const std::string_view line = input.line();
    const std::size_t equals = line.find('=');
    const std::string_view name = line.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : line.substr(equals + 1);
    fields[std::string(name)].emplace_back(value);
  }
  return fields;
}

std::vector<std::string> valuesOf(const TulService::StreamFieldValues& fields, const std::string& name) {
  const auto found = fields.find(name);
  return found == fields.end() ? std::vector<std::string>() : found->second;
}

// The field/value pairs of an XADD request (after "XADD key MAXLEN ~ n *").
std::vector<std::pair<std::string, std::string>> xaddFields(const RecordingServer::Request& request) {
  std::vector<std::pair<std::string, std::string>> fields;
  for (std::size_t i = 6; i + 1 < request.size(); i += 2) fields.emplace_back(request[i], request[i + 1]);
  return fields;
}

void checkRequests(const RecordingConnection& connection, const TulService::Service& service,
                   const Command& command) {
  const std::string commandStream = service.serviceName() + ".Commands";
  const std::string valuePrefix = service.serviceName() + "Value:";
  const std::vector<std::string> names = valuesOf(command.fields, "name");
  const std::vector<std::string> values = valuesOf(command.fields, "value");
  int responses = 0;
  std::string result;
  std::size_t echoes = 0;
  for (const RecordingServer::Request& request : connection.server.requests) {
    const std::string& verb = request.front();
    check(verb == "XADD" || verb == "MULTI" || verb == "EXEC" || verb == "XREAD",
          "only stream commands are sent", verb);
    if (verb != "XADD") continue;
    check(request.size() >= 8 && (request[2] == "MAXLEN" || request[2] == "MINID") && request[5] == "*",
          "an XADD is trimmed and gets a new ID");
    const std::string& key = request[1];
    const auto fields = xaddFields(request);
    if (key == commandStream) {
      ++responses;
      check(std::count(fields.begin(), fields.end(),
                       std::pair<std::string, std::string>("responseId", std::string(kCommandId))) == 1,
            "a response names the command's ID");
      for (const auto& [field, value] : fields) {
        if (field == "result") result = value;
      }
      continue;
    }
    check(key.starts_with(valuePrefix), "a key other than the command stream is a value stream", key);
    check(command.type == CommandType::kSet, "only a set echoes values");
    const std::string name = key.substr(valuePrefix.size());
    check(fields.size() == 1 && fields[0].first == "value", "an echo has the one field \"value\"");
    bool paired = false;
    for (std::size_t i = 0; i < names.size() && i < values.size(); ++i)
      paired = paired || (names[i] == name && values[i] == fields[0].second);
    check(paired, "an echo carries a value paired with its name", key);
    ++echoes;
  }
  check(responses == 1, "the command gets exactly one response", std::to_string(responses));
  if (command.type == CommandType::kSet && result == "success") {
    check(echoes == names.size(), "a successful set echoed every pair");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  const std::uint8_t faultByte = input.byte();
  const std::uint8_t chunkByte = input.byte();
  Command command;
  command.id = kCommandId;
  command.fields = parseFields(input);
  const std::vector<std::string> cmd = valuesOf(command.fields, "cmd");
  command.type = cmd.empty() ? CommandType::kUnknown : TulService::classifyCommand(cmd.front());

  tul::test::ServiceHarness harness;
  addFuzzElement(harness.model());
  std::shared_ptr<TulService::Service> service = harness.create(R"({"serviceName":"S"})");
  RecordingConnection connection;
  if (faultByte >= 0xF0) connection.server.failRequest = faultByte - 0xF0;
  connection.server.chunk = chunkByte == 0 ? std::numeric_limits<std::size_t>::max() : chunkByte;
  // The command's made-up ID is decades old: no age limit, so that it is run.
  TulService::CommandStream stream(connection, service->serviceName(),
                                   {std::numeric_limits<std::int64_t>::max(), 10'000});
  stream.lastId = "0-0";

  const bool faulty = faultByte >= 0xF0;
  try {
    if (command.type == CommandType::kSet) {
      TulService::handleSets(*service->commandHandler(), stream, command);
    } else {
      TulService::handleSubscribe(*service->commandHandler(), stream, command);
    }
    TulService::writeResponses(stream);
  } catch (const std::runtime_error& error) {
    check(faulty, "nothing throws while the server accepts everything", error.what());
  }
  if (!faulty) checkRequests(connection, *service, command);

  service->subscriptionTable().clear();
  check(service->channels().names().empty(), "no channel outlives the subscriptions");
  return 0;
}
