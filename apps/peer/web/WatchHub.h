#pragma once

// One Redis subscription per service for every open page: the hub of a service subscribes to
// the union of the members its pages watch, renews the lease, follows the service through
// Redis restarts and new registrations, and hands each page the coalesced values it watches.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "peer/PeerCommands.h"
#include "peer/Registration.h"

namespace ormanta::peer::web {

// The member at path, by a binary search for its data point (the name before the last dot):
// quick also in a catalogue of 100,000 data points.
const MemberInfo* lookupMember(const Catalogue& catalogue, std::string_view path);

// A page's end of its event stream: the hub thread posts, the page's HTTP thread takes. A page
// that stops reading loses its oldest events, never holds up the hub.
class Mailbox {
 public:
  void post(std::string event);
  // The events posted so far; waits up to timeout for one. Empty once closed.
  std::optional<std::vector<std::string>> take(std::chrono::milliseconds timeout);
  void close();

 private:
  static constexpr std::size_t kLimit = 5000;
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::string> events_;  // under mutex_
  bool closed_ = false;             // under mutex_
};

// One open page: the members it watches (full member paths) and where its events go.
struct Watcher {
  std::set<std::string> members;
  Mailbox mailbox;
};

struct HubOptions {
  std::chrono::milliseconds interval{100};       // the subscription's sampling interval
  std::chrono::milliseconds renewEvery{5'000};   // a quarter of the service's 20 s lease
  std::chrono::milliseconds statusEvery{1'000};  // how often the status key is looked at
  std::chrono::milliseconds retryEvery{1'000};   // reconnects, and waits for the service
  std::chrono::milliseconds window{100};         // at most one value per member and window
  std::chrono::milliseconds readPause{50};       // after a read that brought values
};

// The events, one JSON object each: {"kind":"state","redis":bool,"serving":bool,"text":...},
// {"kind":"members","members":[{"path","type","size","access"}...],"unknown":[paths]},
// {"kind":"value","member":path,"value":text,"id":entry ID}.
class ServiceHub {
 public:
  ServiceHub(Connector connect, std::string service, HubOptions options);
  // Ends the subscription (a subscribe without names) when Redis is reachable.
  ~ServiceHub();
  ServiceHub(const ServiceHub&) = delete;
  ServiceHub& operator=(const ServiceHub&) = delete;

  // Any thread. A joining page gets the state, the members and their last values at once.
  void join(const std::shared_ptr<Watcher>& watcher);
  void leave(const std::shared_ptr<Watcher>& watcher);
  bool empty() const;

 private:
  struct Session;
  void run();
  void serve(PeerConnection& connection, const ServiceRecord& record, const StatusInfo& status);
  void setState(bool redis, bool serving, const std::string& text);
  void postMembers();
  std::string membersEvent(const Watcher& watcher) const;  // under mutex_, with a catalogue
  void deliver(const std::string& member, const std::string& event);
  // The members of every page; empty when generation (updated) shows no change since.
  std::optional<std::set<std::string>> wantedMembers(std::uint64_t& generation) const;

  const Connector connect_;
  const std::string service_;
  const HubOptions options_;
  const std::string subscriptionId_;
  std::atomic<bool> stop_{false};

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Watcher>> watchers_;  // under mutex_
  std::uint64_t generation_ = 0;                    // under mutex_: counts changes of watchers_
  std::string stateEvent_;                          // under mutex_
  std::optional<Catalogue> catalogue_;              // under mutex_, written by the hub thread
  std::map<std::string, std::string> lastValues_;   // under mutex_: member -> its last value event
  std::thread thread_;                              // last: started once everything above exists
};

// The hubs of all services, made when the first page of a service opens and ended with its
// last one.
class HubRegistry {
 public:
  HubRegistry(Connector connect, HubOptions options) : connect_(std::move(connect)), options_(options) {}
  void join(const std::string& service, const std::shared_ptr<Watcher>& watcher);
  void leave(const std::string& service, const std::shared_ptr<Watcher>& watcher);

 private:
  const Connector connect_;
  const HubOptions options_;
  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<ServiceHub>> hubs_;  // under mutex_
};

}  // namespace ormanta::peer::web
