#include "peer/web/WatchHub.h"

#include <algorithm>

#include "peer/web/WebText.h"

namespace ormanta::peer::web {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::vector<std::string> subscribeFields(const std::string& id, std::chrono::milliseconds interval,
                                         const std::vector<std::string>& paths) {
  std::vector<std::string> fields = {"cmd", "subscribe",        "subscriptionId",
                                     id,    "samplingInterval", std::to_string(interval.count())};
  for (const std::string& path : paths) fields.insert(fields.end(), {"name", path});
  return fields;
}

std::string valueEvent(const std::string& member, const std::string& value, const std::string& id) {
  return R"({"kind":"value","member":)" + jsonString(member) + R"(,"value":)" + jsonString(value) +
         R"(,"id":)" + jsonString(id) + "}";
}

}  // namespace

const MemberInfo* lookupMember(const Catalogue& catalogue, std::string_view path) {
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return nullptr;
  const std::string_view name = path.substr(0, dot);
  const auto point = std::lower_bound(catalogue.dataPoints.begin(), catalogue.dataPoints.end(), name,
                                      [](const DataPointInfo& d, std::string_view n) { return d.name < n; });
  if (point == catalogue.dataPoints.end() || point->name != name) return nullptr;
  for (const MemberInfo& member : point->members) {
    if (member.path == path) return &member;
  }
  return nullptr;
}

void Mailbox::post(std::string event) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    if (events_.size() >= kLimit) events_.pop_front();
    events_.push_back(std::move(event));
  }
  posted_.notify_one();
}

std::optional<std::vector<std::string>> Mailbox::take(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  posted_.wait_for(lock, timeout, [&] { return closed_ || !events_.empty(); });
  if (closed_) return std::nullopt;
  std::vector<std::string> taken(std::make_move_iterator(events_.begin()),
                                 std::make_move_iterator(events_.end()));
  events_.clear();
  return taken;
}

void Mailbox::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  posted_.notify_all();
}

ServiceHub::ServiceHub(Connector connect, std::string service, HubOptions options)
    : connect_(std::move(connect)),
      service_(std::move(service)),
      options_(options),
      subscriptionId_("tul-web-" + newSubscriptionId().substr(9)),
      stateEvent_(R"({"kind":"state","redis":true,"serving":false,"text":"connecting"})"),
      thread_([this] { run(); }) {}

ServiceHub::~ServiceHub() {
  stop_.store(true);
  thread_.join();
}

void ServiceHub::join(const std::shared_ptr<Watcher>& watcher) {
  std::lock_guard lock(mutex_);
  watchers_.push_back(watcher);
  ++generation_;
  watcher->mailbox.post(stateEvent_);
  if (catalogue_) watcher->mailbox.post(membersEvent(*watcher));
  for (const std::string& path : watcher->members) {
    const auto last = lastValues_.find(path);
    if (last != lastValues_.end()) watcher->mailbox.post(last->second);
  }
}

void ServiceHub::leave(const std::shared_ptr<Watcher>& watcher) {
  std::lock_guard lock(mutex_);
  watchers_.erase(std::remove(watchers_.begin(), watchers_.end(), watcher), watchers_.end());
  ++generation_;
}

bool ServiceHub::empty() const {
  std::lock_guard lock(mutex_);
  return watchers_.empty();
}

std::optional<std::set<std::string>> ServiceHub::wantedMembers(std::uint64_t& generation) const {
  std::lock_guard lock(mutex_);
  if (generation == generation_) return std::nullopt;
  generation = generation_;
  std::set<std::string> wanted;
  for (const auto& watcher : watchers_) wanted.insert(watcher->members.begin(), watcher->members.end());
  return wanted;
}

void ServiceHub::setState(bool redis, bool serving, const std::string& text) {
  const std::string event = std::string(R"({"kind":"state","redis":)") + (redis ? "true" : "false") +
                            R"(,"serving":)" + (serving ? "true" : "false") + R"(,"text":)" +
                            jsonString(text) + "}";
  std::lock_guard lock(mutex_);
  if (event == stateEvent_) return;
  stateEvent_ = event;
  for (const auto& watcher : watchers_) watcher->mailbox.post(event);
}

std::string ServiceHub::membersEvent(const Watcher& watcher) const {
  std::string known, unknown;
  for (const std::string& path : watcher.members) {
    const MemberInfo* info = lookupMember(*catalogue_, path);
    if (info == nullptr) {
      unknown += (unknown.empty() ? "" : ",") + jsonString(path);
      continue;
    }
    known += std::string(known.empty() ? "" : ",") + R"({"path":)" + jsonString(path) + R"(,"type":)" +
             jsonString(info->type) + R"(,"size":)" + std::to_string(info->size) + R"(,"access":)" +
             jsonString(info->access) + "}";
  }
  return R"({"kind":"members","members":[)" + known + R"(],"unknown":[)" + unknown + "]}";
}

void ServiceHub::postMembers() {
  std::lock_guard lock(mutex_);
  for (const auto& watcher : watchers_) watcher->mailbox.post(membersEvent(*watcher));
}

void ServiceHub::deliver(const std::string& member, const std::string& event) {
  std::lock_guard lock(mutex_);
  lastValues_[member] = event;
  for (const auto& watcher : watchers_) {
    if (watcher->members.contains(member)) watcher->mailbox.post(event);
  }
}

void ServiceHub::run() {
  std::unique_ptr<PeerConnection> connection;
  std::optional<std::string> catalogueAt;  // registeredAt of the catalogue read
  const auto pause = [&](std::chrono::milliseconds duration) {
    for (const auto until = Clock::now() + duration; !stop_.load() && Clock::now() < until;)
      std::this_thread::sleep_for(50ms);
  };
  while (!stop_.load()) {
    try {
      if (!connection) connection = connect_();
      const std::optional<ServiceRecord> record = readService(*connection, service_);
      const std::optional<StatusInfo> status = record ? readStatus(*connection, service_) : std::nullopt;
      // Subscribed only once the registration is done: it clears the command stream.
      if (!status || !status->registeredAt) {
        setState(true, false,
                 !record   ? "service " + service_ + " is not registered"
                 : !status ? "service " + service_ + " is not serving"
                           : "service " + service_ + " is registering");
        pause(options_.retryEvery);
        continue;
      }
      if (catalogueAt != status->registeredAt) {
        Catalogue catalogue = readCatalogue(*connection, *record);
        {
          std::lock_guard lock(mutex_);
          catalogue_ = std::move(catalogue);
        }
        catalogueAt = status->registeredAt;
        postMembers();
      }
      setState(true, true, "service " + service_ + " serving since " + status->connectedSince);
      serve(*connection, *record, *status);
    } catch (const PeerError& error) {
      setState(false, false, std::string("Redis cannot be reached: ") + error.what());
      connection.reset();
      pause(options_.retryEvery);
    }
  }
  if (!connection) return;
  try {
    const std::optional<ServiceRecord> record = readService(*connection, service_);
    if (record)
      connection->xadd(record->commandStream, subscribeFields(subscriptionId_, options_.interval, {}));
  } catch (const PeerError&) {
    // The lease ends the subscription within 20 s.
  }
}

// One subscription on one connection, until stop or a service that is gone or started anew.
void ServiceHub::serve(PeerConnection& connection, const ServiceRecord& record, const StatusInfo& status) {
  Coalescer coalescer(options_.window);
  std::uint64_t generation = ~std::uint64_t{0};
  std::vector<std::string> paths, keys, ids;
  Clock::time_point renewAt = Clock::now(), checkAt = Clock::now() + options_.statusEvery;
  while (!stop_.load()) {
    if (const std::optional<std::set<std::string>> wanted = wantedMembers(generation)) {
      std::vector<std::string> newPaths, newKeys, newIds;
      {
        std::lock_guard lock(mutex_);
        for (const std::string& path : *wanted) {
          const MemberInfo* info = lookupMember(*catalogue_, path);
          if (info == nullptr || info->access == "w") continue;  // publishes nothing
          newPaths.push_back(path);
          newKeys.push_back(info->streamKey);
        }
      }
      for (std::size_t i = 0; i < newPaths.size(); ++i) {
        const auto old = std::find(paths.begin(), paths.end(), newPaths[i]);
        // Where a new member's stream ends before it is subscribed: its first value comes after.
        newIds.push_back(old != paths.end() ? ids[static_cast<std::size_t>(old - paths.begin())]
                                            : connection.lastEntryId(newKeys[i]));
      }
      const bool added = std::any_of(newPaths.begin(), newPaths.end(), [&](const std::string& p) {
        return std::find(paths.begin(), paths.end(), p) == paths.end();
      });
      if (added || newPaths.size() != paths.size()) renewAt = Clock::now();
      paths = std::move(newPaths);
      keys = std::move(newKeys);
      ids = std::move(newIds);
    }
    if (Clock::now() >= renewAt) {
      connection.xadd(record.commandStream, subscribeFields(subscriptionId_, options_.interval, paths));
      renewAt = Clock::now() + options_.renewEvery;
    }
    if (Clock::now() >= checkAt) {
      connection.checkPrimary();
      const std::optional<StatusInfo> current = readStatus(connection, record.name);
      // A new connection of the service ended its subscriptions; a new registration may have
      // renumbered its types.
      if (!current || current->connectedSince != status.connectedSince ||
          (current->registeredAt && current->registeredAt != status.registeredAt))
        return;
      checkAt = Clock::now() + options_.statusEvery;
    }
    const auto due = coalescer.nextDue(Clock::now());
    const auto block = std::clamp(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::min<Clock::duration>(due, 200ms)), 1ms,
        200ms);
    if (keys.empty()) {
      std::this_thread::sleep_for(block);
    } else {
      const std::vector<StreamEntry> entries = connection.xread(keys, ids, block);
      for (const StreamEntry& entry : entries) {
        const auto position = std::find(keys.begin(), keys.end(), entry.stream) - keys.begin();
        const std::string* value = entry.field("value");
        if (value != nullptr && position < static_cast<std::ptrdiff_t>(paths.size()))
          coalescer.offer(paths[static_cast<std::size_t>(position)], *value, entry.id);
      }
      // A member published at 1 kHz would make every read return at once: one read of all
      // keys per pause takes its values in batches instead (a stream keeps about 100).
      if (!entries.empty()) std::this_thread::sleep_for(options_.readPause);
    }
    for (const Coalescer::Update& update : coalescer.take(Clock::now()))
      deliver(update.member, valueEvent(update.member, update.value, update.entryId));
  }
}

void HubRegistry::join(const std::string& service, const std::shared_ptr<Watcher>& watcher) {
  std::lock_guard lock(mutex_);
  std::unique_ptr<ServiceHub>& hub = hubs_[service];
  if (!hub) hub = std::make_unique<ServiceHub>(connect_, service, options_);
  hub->join(watcher);
}

void HubRegistry::leave(const std::string& service, const std::shared_ptr<Watcher>& watcher) {
  std::unique_ptr<ServiceHub> ended;  // ended outside the lock: it unsubscribes first
  {
    std::lock_guard lock(mutex_);
    const auto hub = hubs_.find(service);
    if (hub == hubs_.end()) return;
    hub->second->leave(watcher);
    if (hub->second->empty()) {
      ended = std::move(hub->second);
      hubs_.erase(hub);
    }
  }
}

}  // namespace ormanta::peer::web
