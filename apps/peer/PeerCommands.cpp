#include "peer/PeerCommands.h"

#include <algorithm>
#include <charconv>
#include <iomanip>
#include <optional>
#include <random>
#include <sstream>

#include "ormanta/utils/chrono/IsoDateTime.h"
#include "peer/Registration.h"

namespace ormanta::peer {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kResponseTimeout = 5s;
constexpr auto kStopPoll = 500ms;

struct Response {
  std::string entryId;
  std::string result;
  std::string errorMessage;
};

// Waits for the response to the command entry commandId: responses are appended after the
// command, so reading from the command's own ID cannot miss it.
std::optional<Response> awaitResponse(PeerConnection& connection, const std::string& stream,
                                      const std::string& commandId, Clock::duration timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  std::vector<std::string> ids = {commandId};
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    for (const StreamEntry& entry : connection.xread({stream}, ids, left)) {
      const std::string* responseId = entry.field("responseId");
      if (responseId == nullptr || *responseId != commandId) continue;
      const std::string* result = entry.field("result");
      const std::string* message = entry.field("errorMessage");
      return Response{entry.id, result ? *result : "", message ? *message : ""};
    }
  }
}

// "2026-12-06T08:43:04.123Z" from a stream entry ID's millisecond part.
std::string entryTime(const std::string& id) {
  long long ms = 0;
  std::from_chars(id.data(), id.data() + id.size(), ms);
  const utils::chrono::TimePoint time{std::chrono::milliseconds(ms)};
  char buffer[64];
  const std::size_t length =
      std::min(utils::chrono::formatIsoDateTime(buffer, sizeof buffer, time), sizeof buffer);
  std::string text(buffer, length);
  // Seven fraction digits, of which a stream ID fills three.
  const std::size_t dot = text.find('.');
  if (dot != std::string::npos && text.size() >= dot + 8) text.erase(dot + 4, 4);
  return text;
}

std::string describeResponse(const Response& response, const std::string& commandId) {
  std::string text = "responseId=" + commandId + " result=" + response.result;
  if (response.result != "success") text += " errorMessage=" + response.errorMessage;
  return text;
}

std::size_t widest(std::size_t minimum, std::initializer_list<std::size_t> widths) {
  return std::max(minimum, std::max(widths));
}

std::vector<std::string> subscribeArgs(const std::string& id, std::chrono::milliseconds interval,
                                       const std::vector<std::string>& paths) {
  std::vector<std::string> args = {"cmd", "subscribe",        "subscriptionId",
                                   id,    "samplingInterval", std::to_string(interval.count())};
  for (const std::string& path : paths) {
    args.push_back("name");
    args.push_back(path);
  }
  return args;
}

// Sends a subscribe and waits for its response; false (with the reason on err) on an error
// response. No response is only reported: the lease is renewed anyway.
bool subscribe(PeerConnection& connection, const ServiceRecord& record, const std::string& id,
               std::chrono::milliseconds interval, const std::vector<std::string>& paths, std::ostream& err) {
  const std::string commandId = connection.xadd(record.commandStream, subscribeArgs(id, interval, paths));
  std::optional<Response> response =
      awaitResponse(connection, record.commandStream, commandId, kResponseTimeout);
  if (!response) {
    err << "tul-peer: no response from service " << record.name << " within 5 s (is it running?)"
        << std::endl;
    return true;
  }
  if (response->result != "success") {
    err << "tul-peer: subscribe failed: " << response->errorMessage << std::endl;
    return false;
  }
  return true;
}

}  // namespace

std::string newSubscriptionId() {
  std::random_device device;
  std::mt19937_64 random((static_cast<std::uint64_t>(device()) << 32) ^ device() ^
                         static_cast<std::uint64_t>(Clock::now().time_since_epoch().count()));
  std::ostringstream text;
  text << "tul-peer-" << std::hex << std::setw(16) << std::setfill('0') << random();
  return text.str();
}

int listServices(PeerConnection& connection, std::ostream& out) {
  const std::vector<ServiceRecord> services = readServices(connection);
  if (services.empty()) {
    out << "no registered services (hash \"Services\" is empty)" << std::endl;
    return 0;
  }
  std::size_t nameWidth = 7, pointsWidth = 11, typesWidth = 10;
  for (const ServiceRecord& s : services) {
    nameWidth = widest(nameWidth, {s.name.size()});
    pointsWidth = widest(pointsWidth, {s.dataPointsKey.size()});
    typesWidth = widest(typesWidth, {s.dataTypesKey.size()});
  }
  out << std::left << std::setw(static_cast<int>(nameWidth)) << "SERVICE"
      << "  " << std::setw(static_cast<int>(pointsWidth)) << "DATA POINTS"
      << "  " << std::setw(static_cast<int>(typesWidth)) << "DATA TYPES"
      << "  COMMANDS\n";
  for (const ServiceRecord& s : services) {
    out << std::setw(static_cast<int>(nameWidth)) << s.name << "  "
        << std::setw(static_cast<int>(pointsWidth)) << s.dataPointsKey << "  "
        << std::setw(static_cast<int>(typesWidth)) << s.dataTypesKey << "  " << s.commandStream << "\n";
  }
  out << std::flush;
  return 0;
}

int browse(PeerConnection& connection, const std::string& service, std::ostream& out, std::ostream& err) {
  std::optional<ServiceRecord> record = readService(connection, service);
  if (!record) {
    err << "tul-peer: service " << service << " is not registered (see: tul-peer services)" << std::endl;
    return 1;
  }
  const Catalogue catalogue = readCatalogue(connection, *record);
  std::size_t members = 0;
  std::size_t pathWidth = 6;
  for (const DataPointInfo& dataPoint : catalogue.dataPoints) {
    members += dataPoint.members.size();
    for (const MemberInfo& member : dataPoint.members) pathWidth = widest(pathWidth, {member.path.size()});
  }
  out << "service " << record->name << ": " << catalogue.dataPoints.size() << " data points, " << members
      << " members (" << record->dataPointsKey << ", " << record->dataTypesKey << ", commands on "
      << record->commandStream << ")\n";
  for (const DataPointInfo& dataPoint : catalogue.dataPoints) {
    out << "\n" << dataPoint.name << "  (type " << dataPoint.type << ", size " << dataPoint.size << ")\n";
    if (dataPoint.members.empty()) {
      out << "  (no members)\n";
      continue;
    }
    out << "  " << std::left << std::setw(static_cast<int>(pathWidth)) << "MEMBER"
        << "  " << std::setw(6) << "TYPE"
        << "  " << std::right << std::setw(6) << "SIZE"
        << "  ACCESS\n";
    for (const MemberInfo& member : dataPoint.members) {
      out << "  " << std::left << std::setw(static_cast<int>(pathWidth)) << member.path << "  "
          << std::setw(6) << member.type << "  " << std::right << std::setw(6) << member.size << "  "
          << member.access << "\n";
    }
  }
  for (const auto& [name, values] : catalogue.enumerations) {
    out << "\nenumeration " << name << ":";
    for (const std::string& value : values) out << " " << value;
    out << "\n";
  }
  if (!catalogue.dataPoints.empty() && !catalogue.dataPoints.front().members.empty()) {
    const MemberInfo& example = catalogue.dataPoints.front().members.front();
    out << "\nvalues of " << example.path << " are entries of the stream " << example.streamKey << "\n";
  }
  out << std::flush;
  return 0;
}

int watch(PeerConnection& connection, const std::string& service, const std::vector<std::string>& members,
          const WatchOptions& options, const std::atomic<bool>& stop, std::ostream& out, std::ostream& err) {
  std::optional<ServiceRecord> registered = readService(connection, service);
  const ServiceRecord record = registered ? *registered : defaultServiceRecord(service);
  std::optional<Catalogue> catalogue;
  if (registered) {
    catalogue = readCatalogue(connection, record);
  } else {
    err << "tul-peer: service " << service << " is not registered yet; subscribing anyway" << std::endl;
  }

  std::vector<std::string> paths;
  std::vector<std::string> keys;
  for (const std::string& member : members) {
    const std::string path = memberPath(service, member, catalogue ? &*catalogue : nullptr);
    if (std::find(paths.begin(), paths.end(), path) != paths.end()) continue;
    const MemberInfo* info = catalogue ? catalogue->findMember(path) : nullptr;
    if (catalogue && info == nullptr)
      err << "tul-peer: " << path << " is not a registered member" << std::endl;
    paths.push_back(path);
    keys.push_back(info ? info->streamKey : valueStreamKey(service, path));
  }

  // Where "$" stands now, taken before subscribing: the first value, published right after
  // the subscription, must not fall between the subscribe and the first read.
  std::vector<std::string> ids;
  for (const std::string& key : keys) ids.push_back(connection.lastEntryId(key));

  const std::string id = newSubscriptionId();
  err << "tul-peer: watching " << paths.size() << " member(s) of " << service << " as subscription " << id
      << " (interval " << options.interval.count() << " ms); Ctrl-C ends it" << std::endl;
  if (!subscribe(connection, record, id, options.interval, paths, err)) return 1;
  Clock::time_point renewAt = Clock::now() + options.renewEvery;

  std::size_t pathWidth = 0;
  for (const std::string& path : paths) pathWidth = std::max(pathWidth, path.size());
  while (!stop.load()) {
    const auto untilRenewal = std::chrono::duration_cast<std::chrono::milliseconds>(renewAt - Clock::now());
    const auto block = std::clamp(untilRenewal, std::chrono::milliseconds(1),
                                  std::chrono::duration_cast<std::chrono::milliseconds>(kStopPoll));
    for (const StreamEntry& entry : connection.xread(keys, ids, block)) {
      const auto position = std::find(keys.begin(), keys.end(), entry.stream) - keys.begin();
      const std::string& path = paths[static_cast<std::size_t>(position)];
      const std::string* value = entry.field("value");
      out << entryTime(entry.id) << "  " << std::left << std::setw(static_cast<int>(pathWidth)) << path
          << "  " << (value ? *value : std::string("(no value field)")) << std::endl;
    }
    if (!stop.load() && Clock::now() >= renewAt) {
      if (!subscribe(connection, record, id, options.interval, paths, err)) return 1;
      renewAt = Clock::now() + options.renewEvery;
    }
  }
  // A subscribe without names ends the subscription at once instead of at the lease's end.
  const std::string commandId =
      connection.xadd(record.commandStream, subscribeArgs(id, options.interval, {}));
  if (!awaitResponse(connection, record.commandStream, commandId, 2s)) {
    err << "tul-peer: no response to ending subscription " << id << "; its lease ends within 20 s"
        << std::endl;
  }
  return 0;
}

int set(PeerConnection& connection, const std::string& service, const std::vector<std::string>& assignments,
        std::ostream& out, std::ostream& err) {
  std::optional<ServiceRecord> registered = readService(connection, service);
  const ServiceRecord record = registered ? *registered : defaultServiceRecord(service);
  std::optional<Catalogue> catalogue;
  if (registered) catalogue = readCatalogue(connection, record);

  std::vector<std::string> fields = {"cmd", "set"};
  for (const std::string& assignment : assignments) {
    const std::size_t equals = assignment.find('=');
    fields.push_back("name");
    fields.push_back(memberPath(service, assignment.substr(0, equals), catalogue ? &*catalogue : nullptr));
    fields.push_back("value");
    fields.push_back(assignment.substr(equals + 1));
  }
  const std::string commandId = connection.xadd(record.commandStream, fields);
  std::optional<Response> response =
      awaitResponse(connection, record.commandStream, commandId, kResponseTimeout);
  if (!response) {
    err << "tul-peer: no response from service " << service << " within 5 s (is it running and connected?)"
        << std::endl;
    return 1;
  }
  out << describeResponse(*response, commandId) << std::endl;
  if (response->result != "success") {
    err << "tul-peer: set failed: " << response->errorMessage << std::endl;
    return 1;
  }
  return 0;
}

}  // namespace ormanta::peer
