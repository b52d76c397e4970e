#include "peer/PeerCommands.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iomanip>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "ormanta/utils/chrono/IsoDateTime.h"
#include "peer/LiveTable.h"
#include "peer/MemberPatterns.h"
#include "peer/MemberValues.h"
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

// Swallows what it is given: warnings said once are not repeated on every resubscription.
std::ostream& nullStream() {
  static std::ostream sink(nullptr);
  return sink;
}

std::string jsonOptional(const std::optional<std::string>& text) { return text ? jsonString(*text) : "null"; }

void sleepFor(std::chrono::milliseconds duration, const std::atomic<bool>& stop) {
  const Clock::time_point until = Clock::now() + duration;
  while (!stop.load() && Clock::now() < until)
    std::this_thread::sleep_for(std::min<Clock::duration>(100ms, until - Clock::now()));
}

std::string describeStatus(const StatusInfo& status) {
  return "serving since " + status.connectedSince +
         (status.registeredAt ? ", registered at " + *status.registeredAt : ", registration pending");
}

// The members of a watch or read, as the catalogue knows them.
struct Resolved {
  std::vector<std::string> paths;
  std::vector<std::string> keys;
  std::vector<std::string> types;
  void add(const MemberInfo& member) {
    if (std::find(paths.begin(), paths.end(), member.path) != paths.end()) return;
    paths.push_back(member.path);
    keys.push_back(member.streamKey);
    types.push_back(member.type);
  }
};

// Members given by name that are unknown or write-only (they never publish), and patterns that
// match no readable member, are named on err and left out. A pattern passes over write-only
// members silently.
Resolved resolveReadable(const std::string& service, const std::vector<std::string>& members,
                         const Catalogue& catalogue, std::ostream& err, std::vector<std::string>* rejected) {
  Resolved resolved;
  for (const std::string& member : members) {
    if (isPattern(member)) {
      std::size_t readable = 0;
      for (const MemberInfo* info : matchMembers(service, member, catalogue)) {
        if (info->access == "w") continue;
        resolved.add(*info);
        ++readable;
      }
      if (readable == 0) {
        err << "tul-peer: pattern '" << member << "' matches no readable member of service " << service
            << std::endl;
        if (rejected) rejected->push_back(member);
      }
      continue;
    }
    const std::string path = memberPath(service, member, &catalogue);
    const MemberInfo* info = catalogue.findMember(path);
    if (info == nullptr || info->access == "w") {
      err << "tul-peer: " << path
          << (info == nullptr ? " is not a member of service " + service
                              : " is write-only: it publishes no value")
          << std::endl;
      if (rejected) rejected->push_back(path);
      continue;
    }
    resolved.add(*info);
  }
  return resolved;
}

void printValue(std::ostream& out, bool json, const std::string& time, const std::string& path,
                const std::string& type, std::size_t width, const std::string* value) {
  if (json) {
    out << "{\"time\":" << jsonString(time) << ",\"member\":" << jsonString(path)
        << ",\"value\":" << (value ? jsonValue(type, *value) : "null") << "}" << std::endl;
  } else {
    out << time << "  " << std::left << std::setw(static_cast<int>(width)) << path << "  "
        << (value ? *value : std::string("(no value field)")) << std::endl;
  }
}

// A subscribe without names ends the subscription at once instead of at the lease's end.
void unsubscribe(PeerConnection& connection, const ServiceRecord& record, const std::string& id,
                 std::chrono::milliseconds interval, std::ostream& err) {
  const std::string commandId = connection.xadd(record.commandStream, subscribeArgs(id, interval, {}));
  if (!awaitResponse(connection, record.commandStream, commandId, 2s)) {
    err << "tul-peer: no response to ending subscription " << id << "; its lease ends within 20 s"
        << std::endl;
  }
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

int listServices(PeerConnection& connection, bool json, std::ostream& out) {
  const std::vector<ServiceRecord> services = readServices(connection);
  if (json) {
    for (const ServiceRecord& s : services) {
      out << "{\"service\":" << jsonString(s.name) << ",\"dataPointsKey\":" << jsonString(s.dataPointsKey)
          << ",\"dataTypesKey\":" << jsonString(s.dataTypesKey)
          << ",\"commandStream\":" << jsonString(s.commandStream) << "}\n";
    }
    out << std::flush;
    return 0;
  }
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

int listStatus(PeerConnection& connection, bool json, std::ostream& out) {
  const std::vector<ServiceRecord> services = readServices(connection);
  if (services.empty() && !json) out << "no registered services (hash \"Services\" is empty)" << std::endl;
  std::size_t nameWidth = 7;
  for (const ServiceRecord& s : services) nameWidth = widest(nameWidth, {s.name.size()});
  if (!services.empty() && !json)
    out << std::left << std::setw(static_cast<int>(nameWidth)) << "SERVICE"
        << "  STATUS\n";
  for (const ServiceRecord& s : services) {
    std::optional<StatusInfo> status;
    std::string problem;
    try {
      status = readStatus(connection, s.name);
    } catch (const PeerError& error) {
      problem = error.what();
    }
    if (json) {
      out << "{\"service\":" << jsonString(s.name) << ",\"serving\":" << (status ? "true" : "false")
          << ",\"connectedSince\":"
          << jsonOptional(status ? std::optional(status->connectedSince) : std::nullopt)
          << ",\"registeredAt\":" << jsonOptional(status ? status->registeredAt : std::nullopt) << "}\n";
    } else {
      out << std::left << std::setw(static_cast<int>(nameWidth)) << s.name << "  "
          << (status            ? describeStatus(*status)
              : problem.empty() ? "not serving"
                                : "not serving (" + problem + ")")
          << "\n";
    }
  }
  out << std::flush;
  return 0;
}

namespace {

// The service's record, when it is registered and serving; else empty, the reason on err.
std::optional<ServiceRecord> servingService(PeerConnection& connection, const std::string& service,
                                            std::ostream& err, const char* consequence = "") {
  std::optional<ServiceRecord> record = readService(connection, service);
  if (!record) {
    err << "tul-peer: service " << service << " is not registered (see: tul-peer status)" << consequence
        << std::endl;
    return std::nullopt;
  }
  if (!readStatus(connection, service)) {
    err << "tul-peer: service " << service << " is not serving (its key " << statusKey(service)
        << " is missing)" << consequence << std::endl;
    return std::nullopt;
  }
  return record;
}

// (time, value text) of one member; empty when none came.
using FirstValue = std::optional<std::pair<std::string, std::string>>;

// The current value of each member: subscribes, takes the first value of each (every new
// subscriber gets one) until deadline, then ends the subscription.
std::vector<FirstValue> currentValues(PeerConnection& connection, const ServiceRecord& record,
                                      const Resolved& resolved, Clock::time_point deadline,
                                      std::ostream& err) {
  std::vector<FirstValue> values(resolved.paths.size());
  if (resolved.paths.empty()) return values;
  // Where each stream ends before the subscription: its first value comes after.
  std::vector<std::string> ids;
  for (const std::string& key : resolved.keys) ids.push_back(connection.lastEntryId(key));
  const std::string id = newSubscriptionId();
  const std::chrono::milliseconds interval{100};
  connection.xadd(record.commandStream, subscribeArgs(id, interval, resolved.paths));
  const auto missing = [&] { return std::count(values.begin(), values.end(), std::nullopt); };
  while (missing() > 0 && Clock::now() < deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    for (const StreamEntry& entry : connection.xread(resolved.keys, ids, std::max(left, 1ms))) {
      const auto position = static_cast<std::size_t>(
          std::find(resolved.keys.begin(), resolved.keys.end(), entry.stream) - resolved.keys.begin());
      const std::string* value = entry.field("value");
      if (position < values.size() && !values[position] && value)
        values[position] = {entryTime(entry.id), *value};
    }
  }
  unsubscribe(connection, record, id, interval, err);
  return values;
}

}  // namespace

int browse(PeerConnection& connection, const std::string& service, const BrowseOptions& options,
           std::ostream& out, std::ostream& err, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  const std::optional<ServiceRecord> record =
      options.values ? servingService(connection, service, err) : readService(connection, service);
  if (!record) {
    if (!options.values)
      err << "tul-peer: service " << service << " is not registered (see: tul-peer status)" << std::endl;
    return 1;
  }
  Catalogue catalogue = readCatalogue(connection, *record);
  if (!options.pattern.empty()) {
    // Only the matching members, and only the data points that have one.
    std::size_t matched = 0;
    for (DataPointInfo& dataPoint : catalogue.dataPoints) {
      std::erase_if(dataPoint.members, [&](const MemberInfo& member) {
        return !matchesMember(service, options.pattern, member.path);
      });
      matched += dataPoint.members.size();
    }
    std::erase_if(catalogue.dataPoints, [](const DataPointInfo& d) { return d.members.empty(); });
    if (matched == 0) {
      err << "tul-peer: pattern '" << options.pattern << "' matches no member of service " << service
          << std::endl;
      return 1;
    }
  }
  // With values: each readable member's current value, by path.
  std::map<std::string, std::string> values;
  bool allValues = true;
  if (options.values) {
    Resolved readable;
    for (const DataPointInfo& dataPoint : catalogue.dataPoints)
      for (const MemberInfo& member : dataPoint.members)
        if (member.access != "w") readable.add(member);
    const std::vector<FirstValue> first = currentValues(connection, *record, readable, deadline, err);
    for (std::size_t i = 0; i < first.size(); ++i) {
      if (first[i]) values[readable.paths[i]] = first[i]->second;
      allValues = allValues && first[i].has_value();
    }
  }
  const auto valueOf = [&](const MemberInfo& member) -> std::optional<std::string> {
    auto found = values.find(member.path);
    return found == values.end() ? std::nullopt : std::optional(found->second);
  };
  if (options.json) {
    for (const DataPointInfo& dataPoint : catalogue.dataPoints) {
      out << "{\"dataPoint\":" << jsonString(dataPoint.name) << ",\"type\":" << jsonString(dataPoint.type)
          << ",\"size\":" << dataPoint.size << ",\"members\":[";
      for (std::size_t i = 0; i < dataPoint.members.size(); ++i) {
        const MemberInfo& m = dataPoint.members[i];
        out << (i ? "," : "") << "{\"member\":" << jsonString(m.path) << ",\"type\":" << jsonString(m.type)
            << ",\"size\":" << m.size << ",\"access\":" << jsonString(m.access)
            << ",\"stream\":" << jsonString(m.streamKey);
        if (options.values) {
          const std::optional<std::string> value = valueOf(m);
          out << ",\"value\":" << (value ? jsonValue(m.type, *value) : "null");
        }
        out << "}";
      }
      out << "]}\n";
    }
    out << std::flush;
    return allValues ? 0 : 1;
  }
  std::size_t members = 0;
  std::size_t pathWidth = 6;
  for (const DataPointInfo& dataPoint : catalogue.dataPoints) {
    members += dataPoint.members.size();
    for (const MemberInfo& member : dataPoint.members) pathWidth = widest(pathWidth, {member.path.size()});
  }
  out << "service " << record->name << ": " << catalogue.dataPoints.size() << " data points, " << members
      << " members" << (options.pattern.empty() ? "" : " matching '" + options.pattern + "'") << " ("
      << record->dataPointsKey << ", " << record->dataTypesKey << ", commands on " << record->commandStream
      << ")\n";
  for (const DataPointInfo& dataPoint : catalogue.dataPoints) {
    out << "\n" << dataPoint.name << "  (type " << dataPoint.type << ", size " << dataPoint.size << ")\n";
    if (dataPoint.members.empty()) {
      out << "  (no members)\n";
      continue;
    }
    out << "  " << std::left << std::setw(static_cast<int>(pathWidth)) << "MEMBER"
        << "  " << std::setw(6) << "TYPE"
        << "  " << std::right << std::setw(6) << "SIZE"
        << "  ACCESS" << (options.values ? "  VALUE" : "") << "\n";
    for (const MemberInfo& member : dataPoint.members) {
      out << "  " << std::left << std::setw(static_cast<int>(pathWidth)) << member.path << "  "
          << std::setw(6) << member.type << "  " << std::right << std::setw(6) << member.size << "  "
          << member.access;
      if (options.values) {
        const std::optional<std::string> value = valueOf(member);
        out << "       "
            << (value                  ? *value
                : member.access == "w" ? std::string("(write-only)")
                                       : std::string("(no value)"));
      }
      out << "\n";
    }
  }
  if (options.pattern.empty()) {
    for (const auto& [name, names] : catalogue.enumerations) {
      out << "\nenumeration " << name << ":";
      for (const std::string& value : names) out << " " << value;
      out << "\n";
    }
    if (!catalogue.dataPoints.empty() && !catalogue.dataPoints.front().members.empty()) {
      const MemberInfo& example = catalogue.dataPoints.front().members.front();
      out << "\nvalues of " << example.path << " are entries of the stream " << example.streamKey << "\n";
    }
  }
  out << std::flush;
  if (!allValues)
    err << "tul-peer: some members gave no value within " << timeout.count() / 1000.0 << " s" << std::endl;
  return allValues ? 0 : 1;
}

int read(PeerConnection& connection, const std::string& service, const std::vector<std::string>& members,
         bool json, std::ostream& out, std::ostream& err, std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  const std::optional<ServiceRecord> record = servingService(connection, service, err);
  if (!record) return 1;
  std::vector<std::string> rejected;
  const Resolved resolved =
      resolveReadable(service, members, readCatalogue(connection, *record), err, &rejected);
  if (!rejected.empty()) return 1;
  const std::vector<FirstValue> values = currentValues(connection, *record, resolved, deadline, err);

  std::size_t width = 0;
  for (const std::string& path : resolved.paths) width = std::max(width, path.size());
  bool complete = true;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!values[i]) {
      err << "tul-peer: no value of " << resolved.paths[i] << " within " << timeout.count() / 1000.0
          << " s (it cannot be read now)" << std::endl;
      complete = false;
    } else if (json) {
      printValue(out, true, values[i]->first, resolved.paths[i], resolved.types[i], 0, &values[i]->second);
    } else {
      out << std::left << std::setw(static_cast<int>(width)) << resolved.paths[i] << "  " << values[i]->second
          << std::endl;
    }
  }
  return complete ? 0 : 1;
}

namespace {

// One subscription of a watch on one connection, until stop (0), a service that is gone or
// started anew (-1: subscribe again), or an error response (1). Throws PeerError when the
// connection fails.
int serveWatch(PeerConnection& connection, const ServiceRecord& record, const StatusInfo& status,
               const Resolved& resolved, const std::string& id, const WatchOptions& options,
               const std::atomic<bool>& stop, LiveTable* table, std::ostream& out, std::ostream& err) {
  std::vector<std::string> ids;
  for (const std::string& key : resolved.keys) ids.push_back(connection.lastEntryId(key));
  if (!subscribe(connection, record, id, options.interval, resolved.paths, err)) return 1;
  Clock::time_point renewAt = Clock::now() + options.renewEvery;
  Clock::time_point checkAt = Clock::now() + options.statusEvery;
  std::size_t width = 0;
  for (const std::string& path : resolved.paths) width = std::max(width, path.size());
  while (!stop.load()) {
    const auto next = std::min(renewAt, checkAt);
    const auto block = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()),
                                  1ms, std::chrono::duration_cast<std::chrono::milliseconds>(kStopPoll));
    for (const StreamEntry& entry : connection.xread(resolved.keys, ids, block)) {
      const auto position =
          std::find(resolved.keys.begin(), resolved.keys.end(), entry.stream) - resolved.keys.begin();
      const auto i = static_cast<std::size_t>(position);
      const std::string* value = entry.field("value");
      if (table) {
        table->update(resolved.paths[i], entryTime(entry.id), value ? *value : "(no value field)");
      } else {
        printValue(out, options.json, entryTime(entry.id), resolved.paths[i], resolved.types[i], width,
                   value);
      }
    }
    if (table) table->draw(out);
    if (stop.load()) break;
    if (Clock::now() >= checkAt) {
      // A primary left up by a failover takes the subscription for a while but gets no values.
      connection.checkPrimary();
      const std::optional<StatusInfo> now = readStatus(connection, record.name);
      if (!now) {
        err << "tul-peer: service " << record.name << " stopped serving (" << statusKey(record.name)
            << " is gone); waiting for it" << std::endl;
        return -1;
      }
      // A new connection of the service ended its subscriptions; a new registration may have
      // renumbered its types.
      if (now->connectedSince != status.connectedSince ||
          (now->registeredAt && now->registeredAt != status.registeredAt)) {
        err << "tul-peer: service " << record.name << " started anew (" << describeStatus(*now) << ")"
            << std::endl;
        return -1;
      }
      checkAt = Clock::now() + options.statusEvery;
    }
    if (Clock::now() >= renewAt) {
      if (!subscribe(connection, record, id, options.interval, resolved.paths, err)) return 1;
      renewAt = Clock::now() + options.renewEvery;
    }
  }
  unsubscribe(connection, record, id, options.interval, err);
  return 0;
}

}  // namespace

int watch(const Connector& connect, const std::string& service, const std::vector<std::string>& members,
          const WatchOptions& options, const std::atomic<bool>& stop, std::ostream& out, std::ostream& err) {
  const std::string id = newSubscriptionId();
  std::unique_ptr<PeerConnection> connection;
  bool waiting = false;  // "waiting for the service" was said
  bool resumed = false;  // the next subscription follows a loss
  bool subscribed = false;
  // On a terminal only: written to a file or a pipe, lines serve better.
  std::optional<LiveTable> table;
  const bool useTable = options.table && !options.json && isTerminalOutput(out);
  while (!stop.load()) {
    try {
      if (!connection) connection = connect();
      const std::optional<ServiceRecord> record = readService(*connection, service);
      const std::optional<StatusInfo> status = record ? readStatus(*connection, service) : std::nullopt;
      // Subscribed only once the registration is done: it clears the command stream.
      if (!status || !status->registeredAt) {
        if (!waiting) {
          err << "tul-peer: waiting for service " << service << " ("
              << (!record   ? "not registered"
                  : !status ? "not serving"
                            : "registration pending")
              << ")" << std::endl;
        }
        waiting = true;
        connection->checkPrimary();
        sleepFor(options.retryEvery, stop);
        continue;
      }
      const Resolved resolved = resolveReadable(service, members, readCatalogue(*connection, *record),
                                                subscribed || resumed ? nullStream() : err, nullptr);
      if (resolved.paths.empty()) {
        err << "tul-peer: no member of " << service << " to watch" << std::endl;
        return 1;
      }
      if (resumed || subscribed) {
        err << "tul-peer: " << (resumed ? "reconnected; service " : "service ") << service << " "
            << describeStatus(*status) << "; subscribed again" << std::endl;
      } else {
        err << "tul-peer: watching " << resolved.paths.size() << " member(s) of " << service
            << " as subscription " << id << " (interval " << options.interval.count()
            << " ms); Ctrl-C ends it" << std::endl;
      }
      waiting = false;
      resumed = false;
      subscribed = true;
      if (useTable) {
        table.emplace(service + ": " + std::to_string(resolved.paths.size()) + " member(s), interval " +
                          std::to_string(options.interval.count()) + " ms; Ctrl-C ends it",
                      resolved.paths);
      }
      const int result = serveWatch(*connection, *record, *status, resolved, id, options, stop,
                                    table ? &*table : nullptr, out, err);
      if (table) table->finish(out);
      if (result >= 0) return result;
    } catch (const PeerError& error) {
      // A Redis restart, a lost network, a failover (a demoted primary's READONLY or UNBLOCKED
      // reply among them): the service comes back on the new server.
      if (!resumed) err << "tul-peer: " << error.what() << "; reconnecting" << std::endl;
      connection.reset();
      resumed = true;
      waiting = true;
      sleepFor(options.retryEvery, stop);
    }
  }
  return 0;
}

int set(PeerConnection& connection, const std::string& service, const std::vector<std::string>& assignments,
        bool json, std::ostream& out, std::ostream& err) {
  // Checked before anything is written: a command for a service that does not serve would lie
  // in its stream unanswered, and one for a member it refuses would be refused anyway.
  const std::optional<ServiceRecord> record = servingService(connection, service, err, "; nothing was sent");
  if (!record) return 1;
  const Catalogue catalogue = readCatalogue(connection, *record);
  std::vector<std::string> fields = {"cmd", "set"};
  std::vector<const MemberInfo*> members;
  std::vector<std::string> texts;
  for (const std::string& assignment : assignments) {
    const std::size_t equals = assignment.find('=');
    const std::string path = memberPath(service, assignment.substr(0, equals), &catalogue);
    const MemberInfo* info = catalogue.findMember(path);
    if (info == nullptr || info->access == "r") {
      err << "tul-peer: " << path
          << (info == nullptr ? " is not a member of service " + service : " is read-only")
          << "; nothing was sent" << std::endl;
      return 1;
    }
    std::string problem;
    const std::optional<std::string> text = checkedSetValue(*info, assignment.substr(equals + 1), problem);
    if (!text) {
      err << "tul-peer: " << path << ": " << problem << "; nothing was sent" << std::endl;
      return 1;
    }
    fields.insert(fields.end(), {"name", path, "value", *text});
    members.push_back(info);
    texts.push_back(*text);
  }
  const std::string commandId = connection.xadd(record->commandStream, fields);
  std::optional<Response> response =
      awaitResponse(connection, record->commandStream, commandId, kResponseTimeout);
  if (!response) {
    err << "tul-peer: no response from service " << service << " within 5 s (is it running and connected?)"
        << std::endl;
    return 1;
  }
  // The service writes the pairs in order and stops at the first it cannot write; its message
  // names that member in most cases. Otherwise the failure is not pinned to one member.
  std::size_t failed = members.size();
  if (response->result != "success") {
    for (std::size_t i = 0; i < members.size() && failed == members.size(); ++i)
      if (response->errorMessage.find(members[i]->path) != std::string::npos) failed = i;
    if (members.size() == 1) failed = 0;
  }
  std::size_t width = 0;
  for (std::size_t i = 0; i < members.size(); ++i)
    width = std::max(width, members[i]->path.size() + 1 + texts[i].size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    std::string result = "success";
    if (response->result != "success") {
      result = failed == members.size() ? "error"  // which one is not known
               : i < failed             ? "written"
               : i == failed            ? "error"
                                        : "not written";
    }
    const bool hasError = result == "error";
    if (json) {
      out << "{\"member\":" << jsonString(members[i]->path)
          << ",\"value\":" << jsonValue(members[i]->type, texts[i]) << ",\"result\":" << jsonString(result)
          << ",\"errorMessage\":" << (hasError ? jsonString(response->errorMessage) : "null")
          << ",\"responseId\":" << jsonString(commandId) << "}\n";
    } else {
      out << std::left << std::setw(static_cast<int>(width)) << members[i]->path + "=" + texts[i]
          << "  result=" << result << (hasError ? " errorMessage=" + response->errorMessage : "")
          << "  responseId=" << commandId << "\n";
    }
    if (hasError)
      err << "tul-peer: set " << members[i]->path << " failed: " << response->errorMessage << std::endl;
  }
  out << std::flush;
  return response->result == "success" ? 0 : 1;
}

}  // namespace ormanta::peer
