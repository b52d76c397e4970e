#include "peer/web/WebServer.h"

#include <httplib.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "peer/Address.h"
#include "peer/Registration.h"
#include "peer/web/WatchHub.h"
#include "peer/web/WebAssets.h"
#include "peer/web/WebText.h"

namespace ormanta::peer::web {
namespace {

using namespace std::chrono_literals;
using httplib::Request;
using httplib::Response;

constexpr std::size_t kMaxNodes = 1000;   // children of one tree node sent at once
constexpr std::size_t kMaxMatches = 200;  // members found by one search
constexpr auto kKeepAlive = 2s;           // a page that went away is noticed within this
constexpr int kHttpThreads = 64;          // each open page holds one for its event stream
constexpr const char* kTokenCookie = "tul_token";

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string memberJson(const MemberInfo& m) {
  return R"({"path":)" + jsonString(m.path) + R"(,"type":)" + jsonString(m.type) + R"(,"size":)" +
         std::to_string(m.size) + R"(,"access":)" + jsonString(m.access) + "}";
}

// What the page's service list shows, read once a second by one thread for every page.
class StatusBoard {
 public:
  StatusBoard(Connector connect, std::string address)
      : connect_(std::move(connect)), address_(std::move(address)), thread_([this] { run(); }) {}
  ~StatusBoard() {
    stop_.store(true);
    thread_.join();
  }
  std::string json() const {
    std::lock_guard lock(mutex_);
    return json_;
  }

 private:
  void run() {
    std::unique_ptr<PeerConnection> connection;
    while (!stop_.load()) {
      std::string text;
      try {
        if (!connection) connection = connect_();
        std::string services;
        for (const ServiceRecord& record : readServices(*connection)) {
          const std::optional<StatusInfo> status = readStatus(*connection, record.name);
          services += std::string(services.empty() ? "" : ",") + R"({"name":)" + jsonString(record.name) +
                      R"(,"serving":)" + (status ? "true" : "false") + R"(,"connectedSince":)" +
                      (status ? jsonString(status->connectedSince) : "null") + R"(,"registeredAt":)" +
                      (status && status->registeredAt ? jsonString(*status->registeredAt) : "null") + "}";
        }
        text = R"({"redis":true,"address":)" + jsonString(address_) + R"(,"services":[)" + services + "]}";
      } catch (const PeerError& error) {
        connection.reset();
        text = R"({"redis":false,"address":)" + jsonString(address_) + R"(,"text":)" +
               jsonString(std::string("Redis cannot be reached: ") + error.what()) + R"(,"services":[]})";
      }
      {
        std::lock_guard lock(mutex_);
        json_ = std::move(text);
      }
      for (int i = 0; i < 10 && !stop_.load(); ++i) std::this_thread::sleep_for(100ms);
    }
  }

  const Connector connect_;
  const std::string address_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::string json_ = R"({"redis":true,"services":[]})";  // under mutex_
  std::thread thread_;
};

// The catalogues the tree shows, read again when a service registers anew. One connection
// for the page's requests, used by one at a time.
class CatalogueCache {
 public:
  explicit CatalogueCache(Connector connect) : connect_(std::move(connect)) {}

  // Children of the tree node under (a data point name or a prefix of one), and the members
  // of the data point under itself; or with a filter, the members whose path holds it.
  std::string browse(const std::string& service, const std::string& under, const std::string& filter) {
    std::lock_guard lock(mutex_);
    const Catalogue& catalogue = current(service);
    if (!filter.empty()) return search(catalogue, lower(filter));
    const std::string prefix = (under.empty() ? service : under) + ".";
    std::set<std::string> children, dataPoints;
    std::set<std::string> branches;  // children with data points below them
    std::string members;
    auto point = std::lower_bound(catalogue.dataPoints.begin(), catalogue.dataPoints.end(), prefix,
                                  [](const DataPointInfo& d, const std::string& p) { return d.name < p; });
    for (const DataPointInfo& self : catalogue.dataPoints) {
      if (self.name != under) continue;
      for (const MemberInfo& m : self.members) members += (members.empty() ? "" : ",") + memberJson(m);
      break;
    }
    for (; point != catalogue.dataPoints.end() && point->name.compare(0, prefix.size(), prefix) == 0;
         ++point) {
      const std::string rest = point->name.substr(prefix.size());
      const std::size_t dot = rest.find('.');
      const std::string child = prefix + rest.substr(0, dot);
      children.insert(child);
      if (dot == std::string::npos)
        dataPoints.insert(child);
      else
        branches.insert(child);
    }
    std::string nodes;
    std::size_t count = 0;
    for (const std::string& child : children) {
      if (++count > kMaxNodes) break;
      nodes += std::string(nodes.empty() ? "" : ",") + R"({"path":)" + jsonString(child) + R"(,"name":)" +
               jsonString(child.substr(prefix.size())) + R"(,"dataPoint":)" +
               (dataPoints.contains(child) ? "true" : "false") + R"(,"branch":)" +
               (branches.contains(child) ? "true" : "false") + "}";
    }
    return R"({"nodes":[)" + nodes + R"(],"more":)" +
           std::to_string(children.size() - std::min(children.size(), kMaxNodes)) + R"(,"members":[)" +
           members + "]}";
  }

  // For the trends of a page that opens: the values of its numeric members that their streams
  // still hold (about the last 100 each), oldest first. Empty when they cannot be read: the live
  // values come all the same.
  std::string history(const std::string& service, const std::set<std::string>& members) {
    std::lock_guard lock(mutex_);
    try {
      const Catalogue& catalogue = current(service);
      std::string values;
      for (const std::string& path : members) {
        const MemberInfo* info = lookupMember(catalogue, path);
        if (info == nullptr || info->access == "w" || info->type == "String") continue;
        const ReplyPtr reply = connection_->command({"XREVRANGE", info->streamKey, "+", "-", "COUNT", "100"});
        if (reply->type != REDIS_REPLY_ARRAY) continue;
        std::string points;
        for (std::size_t i = reply->elements; i-- > 0;) {
          const redisReply* entry = reply->element[i];
          if (entry->type != REDIS_REPLY_ARRAY || entry->elements != 2) continue;
          const redisReply* fields = entry->element[1];
          for (std::size_t f = 0; fields->type == REDIS_REPLY_ARRAY && f + 1 < fields->elements; f += 2) {
            if (std::string_view(fields->element[f]->str, fields->element[f]->len) != "value") continue;
            points += std::string(points.empty() ? "" : ",") + "[" +
                      jsonString({entry->element[0]->str, entry->element[0]->len}) + "," +
                      jsonString({fields->element[f + 1]->str, fields->element[f + 1]->len}) + "]";
          }
        }
        values += std::string(values.empty() ? "" : ",") + R"({"member":)" + jsonString(path) +
                  R"(,"points":[)" + points + "]}";
      }
      return R"({"kind":"history","values":[)" + values + "]}";
    } catch (const PeerError&) {
      connection_.reset();
      return "";
    }
  }

 private:
  static std::string search(const Catalogue& catalogue, const std::string& filter) {
    std::string members;
    std::size_t found = 0;
    for (const DataPointInfo& point : catalogue.dataPoints) {
      for (const MemberInfo& m : point.members) {
        if (lower(m.path).find(filter) == std::string::npos) continue;
        if (++found <= kMaxMatches) members += (members.empty() ? "" : ",") + memberJson(m);
      }
    }
    return R"({"nodes":[],"more":)" + std::to_string(found - std::min(found, kMaxMatches)) +
           R"(,"members":[)" + members + "]}";
  }

  // Throws PeerError: Redis cannot be reached, or the service is not registered.
  const Catalogue& current(const std::string& service) {
    try {
      if (!connection_) connection_ = connect_();
      const std::optional<ServiceRecord> record = readService(*connection_, service);
      if (!record) throw PeerError("service " + service + " is not registered");
      const std::optional<StatusInfo> status = readStatus(*connection_, service);
      const std::string at = status && status->registeredAt ? *status->registeredAt : "";
      auto& [registeredAt, catalogue] = catalogues_[service];
      if (registeredAt.empty() || registeredAt != at) {
        catalogue = readCatalogue(*connection_, *record);
        registeredAt = at;
      }
      return catalogue;
    } catch (const PeerError&) {
      connection_.reset();
      throw;
    }
  }

  const Connector connect_;
  std::mutex mutex_;
  std::unique_ptr<PeerConnection> connection_;                           // under mutex_
  std::map<std::string, std::pair<std::string, Catalogue>> catalogues_;  // under mutex_
};

// A set as `tul-peer set` sends it, with its checks: service serving, member known, writable.
std::string setMember(const Connector& connect, const std::string& service, const std::string& member,
                      const std::string& value) {
  std::ostringstream out, err;
  int status = 1;
  try {
    const std::unique_ptr<PeerConnection> connection = connect();
    status = set(*connection, service, {member + "=" + value}, false, out, err);
  } catch (const PeerError& error) {
    err << error.what();
  }
  std::string text = status == 0 ? out.str() : err.str();
  for (std::size_t at; (at = text.find("tul-peer: ")) != std::string::npos;) text.erase(at, 10);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return std::string(R"({"ok":)") + (status == 0 ? "true" : "false") + R"(,"text":)" + jsonString(text) + "}";
}

void serveAsset(Response& res, std::string_view content, const char* type) {
  if (content.empty()) {
    res.status = 404;
    return;
  }
  res.set_content(content.data(), content.size(), type);
}

}  // namespace

bool isLoopbackHost(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

int serveWeb(const Connector& connectOne, const WebOptions& options, const std::atomic<bool>& stop,
             std::ostream& out, std::ostream& err) {
  // One connect at a time: behind sentinels every connect goes through one server locator.
  std::mutex connectMutex;
  const Connector connect = [&] {
    std::lock_guard lock(connectMutex);
    return connectOne();
  };
  std::string listen = options.listen;
  if (listen.find(':') == std::string::npos || (listen.front() == '[' && listen.back() == ']'))
    listen += ":8080";
  Address address;
  try {
    address = parseAddress(listen);
  } catch (const std::exception& error) {
    err << "tul-peer: --listen: " << error.what() << std::endl;
    return 2;
  }
  // Anyone who reaches another address could write set points: only with the token.
  const std::string token = isLoopbackHost(address.host) ? "" : newAccessToken();

  HubRegistry hubs(connect, HubOptions{});
  StatusBoard board(connect, options.redisAddress);
  CatalogueCache catalogues(connect);
  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };

  server.set_pre_routing_handler([&](const Request& req, Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    // Nothing from elsewhere, no inline script: a value that looks like HTML stays text.
    res.set_header("Content-Security-Policy", "default-src 'self'; style-src 'self'; img-src 'self' data:");
    bool allowed;
    if (token.empty()) {
      // A page of another site that a DNS name points at 127.0.0.1 sends its own host name.
      const std::string host = req.get_header_value("Host");
      const std::string name = host.empty()          ? host
                               : host.front() == '[' ? host.substr(1, host.find(']') - 1)
                                                     : host.substr(0, host.rfind(':'));
      allowed = isLoopbackHost(name);
    } else if (tokenMatches(token, req.get_param_value("token"))) {
      res.set_header("Set-Cookie",
                     std::string(kTokenCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict");
      allowed = true;
    } else {
      allowed = tokenMatches(token, cookieValue(req.get_header_value("Cookie"), kTokenCookie));
    }
    // Another site's form may post here (a simple request); it cannot add this header.
    if (allowed && req.method == "POST") allowed = req.has_header("X-Tul-Request");
    if (allowed) return httplib::Server::HandlerResponse::Unhandled;
    res.status = 403;
    res.set_content("403: open the address with the access token that tul-peer web printed\n", "text/plain");
    return httplib::Server::HandlerResponse::Handled;
  });

  server.Get("/",
             [](const Request&, Response& res) { serveAsset(res, kIndexHtml, "text/html; charset=utf-8"); });
  server.Get("/app.js", [](const Request&, Response& res) { serveAsset(res, kAppJs, "text/javascript"); });
  server.Get("/style.css", [](const Request&, Response& res) { serveAsset(res, kStyleCss, "text/css"); });
  server.Get("/chart.js",
             [](const Request&, Response& res) { serveAsset(res, kChartJs, "text/javascript"); });

  server.Get("/api/services",
             [&](const Request&, Response& res) { res.set_content(board.json(), "application/json"); });
  server.Get("/api/browse", [&](const Request& req, Response& res) {
    try {
      res.set_content(catalogues.browse(req.get_param_value("service"), req.get_param_value("under"),
                                        req.get_param_value("filter")),
                      "application/json");
    } catch (const PeerError& error) {
      res.status = 503;
      res.set_content(R"({"error":)" + jsonString(error.what()) + "}", "application/json");
    }
  });
  server.Post("/api/set", [&](const Request& req, Response& res) {
    const std::string member = req.get_param_value("member");
    if (member.empty() || member.find('=') != std::string::npos) {
      res.status = 400;
      res.set_content(R"({"ok":false,"text":"no member, or a member name with '='"})", "application/json");
      return;
    }
    res.set_content(setMember(connect, req.get_param_value("service"), member, req.get_param_value("value")),
                    "application/json");
  });
  server.Get("/api/events", [&](const Request& req, Response& res) {
    const std::string service = req.get_param_value("service");
    auto watcher = std::make_shared<Watcher>();
    // Names without the service's: a link of 200 members stays within the 8 kB a request line may have.
    for (const std::string& member : splitList(req.get_param_value("watch")))
      watcher->members.insert(service + "." + member);
    // Before the hub's events: the trends start with the values the streams still hold.
    watcher->mailbox.post(catalogues.history(service, watcher->members));
    hubs.join(service, watcher);
    res.set_chunked_content_provider(
        "text/event-stream",
        [watcher, &stop, first = true](std::size_t, httplib::DataSink& sink) mutable {
          const std::optional<std::vector<std::string>> events = watcher->mailbox.take(kKeepAlive);
          if (!events || stop.load()) return false;
          std::string text = first ? "retry: 1000\n\n" : "";
          first = false;
          if (events->empty()) text = ": alive\n\n";
          for (const std::string& event : *events) {
            if (!event.empty()) text += "data: " + event + "\n\n";
          }
          return text.empty() || sink.write(text.data(), text.size());
        },
        [watcher, service, &hubs](bool) {
          watcher->mailbox.close();
          hubs.leave(service, watcher);
        });
  });

  if (!server.bind_to_port(address.host, address.port)) {
    err << "tul-peer: cannot listen on " << address.text() << std::endl;
    return 1;
  }
  std::thread listener([&] { server.listen_after_bind(); });
  const std::string host =
      address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
  out << "tul-peer: the web view of Redis at " << options.redisAddress << " is at http://" << host << ":"
      << address.port << "/" << (token.empty() ? "" : "?token=" + token) << std::endl;
  if (!token.empty())
    out << "tul-peer: it listens beyond this machine: requests without the token get 403" << std::endl;
  while (!stop.load()) std::this_thread::sleep_for(100ms);
  server.stop();
  listener.join();
  return 0;
}

}  // namespace ormanta::peer::web
