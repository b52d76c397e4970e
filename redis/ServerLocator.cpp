#include "redis/ServerLocator.h"

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <utility>

#include "redis/ClusterClient.h"
#include "redis/StreamDecoding.h"

namespace ormanta::plugins::TulService {
namespace {

using Clock = std::chrono::steady_clock;

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool namesPort(std::string_view entry) {
  if (entry.starts_with('[')) return entry.find("]:") != std::string_view::npos;
  return std::count(entry.begin(), entry.end(), ':') == 1;
}

std::chrono::milliseconds left(Clock::time_point deadline) {
  return std::max(std::chrono::milliseconds(1),
                  std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()));
}

// A pause that a stop ends within 10 ms.
void pause(utils::io::StopSource& stopSource, std::chrono::milliseconds duration) {
  for (const auto until = Clock::now() + duration; Clock::now() < until;) {
    if (stopSource.stopRequested())
      throw RedisError(RedisError::Kind::kStopped, "the connection attempt was stopped");
    std::this_thread::sleep_for(
        std::min<Clock::duration>(std::chrono::milliseconds(10), until - Clock::now()));
  }
}

std::string reasonOf(const RedisError& error) {
  std::string reason = error.what();
  if (!error.detail().empty()) reason += " (" + error.detail() + ")";
  return reason;
}

}  // namespace

std::vector<std::string> SentinelSettings::parseAddresses(std::string_view text) {
  return parseAddressList(text, "sentinels", kDefaultPort);
}

std::vector<std::string> parseAddressList(std::string_view text, std::string_view key,
                                          std::string_view defaultPort) {
  std::vector<std::string> addresses;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string_view entry = trimmed(text.substr(start, comma - start));
    if (entry.empty()) {
      throw std::invalid_argument(
          (key.starts_with("--") ? std::string(key) : "configuration \"" + std::string(key) + "\"") +
          " must list HOST:PORT entries separated by commas, not \"" + std::string(text) + "\"");
    }
    if (namesPort(entry)) {
      addresses.emplace_back(entry);
    } else if (entry.starts_with('[') || entry.find(':') == std::string_view::npos) {
      addresses.push_back(std::string(entry) + ":" + std::string(defaultPort));
    } else {
      addresses.push_back("[" + std::string(entry) + "]:" + std::string(defaultPort));  // a bare IPv6 address
    }
    start = comma + 1;
  }
  return addresses;
}

void ServerLocator::configure(std::string address, ConnectionSecurity security,
                              std::optional<SentinelSettings> sentinels, bool cluster) {
  if (cluster && sentinels) {
    throw std::invalid_argument(
        "configuration \"cluster\" and \"sentinels\" exclude each other: a cluster fails over by itself");
  }
  seeds_ = cluster ? parseAddressList(address, "address", "6379") : std::vector<std::string>();
  address_ = std::move(address);
  security_ = std::move(security);
  sentinels_ = std::move(sentinels);
  forgetCurrent();
}

std::string ServerLocator::addressOf(std::string_view ip, std::string_view port) {
  const std::string host =
      ip.find(':') == std::string_view::npos ? std::string(ip) : "[" + std::string(ip) + "]";
  return host + ":" + std::string(port);
}

std::string ServerLocator::askSentinels(utils::io::StopSource& stopSource) const {
  const SentinelSettings& settings = sentinels_.value();
  ConnectionSecurity security = security_;
  security.username = settings.username;
  security.password = settings.password;
  std::string reasons;
  for (const std::string& sentinel : settings.addresses) {
    std::string reason;
    try {
      RedisConnection connection(sentinel, security);
      connection.connect(stopSource, kSentinelTimeout);
      const RedisReplyPtr reply =
          connection.command({"SENTINEL", "GET-MASTER-ADDR-BY-NAME", settings.master});
      if (reply->type == kReplyError) throw RedisError::fromReply(replyText(*reply));
      if (reply->type == kReplyArray && reply->elements == 2) {
        return addressOf(replyText(*reply->element[0]), replyText(*reply->element[1]));
      }
      reason = "knows no master named \"" + settings.master + "\"";
    } catch (const RedisError& error) {
      if (error.kind() == RedisError::Kind::kStopped) throw;
      reason = reasonOf(error);
    }
    reasons += (reasons.empty() ? "" : "; ") + sentinel + ": " + reason;
  }
  throw RedisError(RedisError::Kind::kDiscovery,
                   "no sentinel named a primary for \"" + settings.master + "\": " + reasons);
}

std::unique_ptr<RedisAccess> ServerLocator::connectPrimary(utils::io::StopSource& stopSource,
                                                           std::chrono::milliseconds timeout) {
  if (!usesCluster()) return connectPrimaryServer(stopSource, timeout);
  refreshSlotMap(stopSource);
  return std::make_unique<ClusterClient>(*this, stopSource, timeout);
}

std::unique_ptr<RedisConnection> ServerLocator::connectPrimaryServer(utils::io::StopSource& stopSource,
                                                                     std::chrono::milliseconds timeout) {
  if (!sentinels_) {
    auto connection = std::make_unique<RedisConnection>(address_, security_);
    connection->connect(stopSource, timeout);
    MutexLock lock(mutex_);
    current_ = address_;
    return connection;
  }
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    const std::string primary = askSentinels(stopSource);
    auto connection = std::make_unique<RedisConnection>(primary, security_);
    try {
      connection->connect(stopSource, left(deadline));
    } catch (const RedisError& error) {
      if (error.kind() != RedisError::Kind::kConnect) throw;
      // After a crash the sentinels name the dead primary for a while: say that it is theirs.
      throw RedisError(RedisError::Kind::kConnect,
                       "failed to connect to " + primary + ", the primary the sentinels name for \"" +
                           sentinels_->master + "\"",
                       error.detail());
    }
    const std::string role = connection->role();
    if (role == "master") {
      MutexLock lock(mutex_);
      current_ = primary;
      return connection;
    }
    if (Clock::now() + kReplicaPause >= deadline) {
      throw RedisError(RedisError::Kind::kNotPrimary, "the sentinels name " + primary +
                                                          " as the primary of \"" + sentinels_->master +
                                                          "\", but its role is " + role);
    }
    pause(stopSource, kReplicaPause);
  }
}

std::unique_ptr<RedisAccess> ServerLocator::connectCurrent(utils::io::StopSource& stopSource,
                                                           std::chrono::milliseconds timeout) {
  if (usesCluster()) {
    if (!slotMap()) {
      throw RedisError(RedisError::Kind::kNotPrimary, "no slot map: the data connection is not established");
    }
    return std::make_unique<ClusterClient>(*this, stopSource, timeout);
  }
  // A fixed server is always the one to use; with sentinels only the primary the data
  // connection reached is.
  const std::string address = sentinels_ ? currentAddress() : address_;
  if (address.empty()) {
    throw RedisError(RedisError::Kind::kNotPrimary, "no primary: the data connection is not established");
  }
  auto connection = std::make_unique<RedisConnection>(address, security_);
  connection->connect(stopSource, timeout);
  return connection;
}

bool ServerLocator::report(const RedisError& what) {
  if (!what.meansPrimaryMoved()) return false;
  forgetCurrent();
  return true;
}

void ServerLocator::forgetCurrent() noexcept {
  MutexLock lock(mutex_);
  current_.clear();
  slotMap_.reset();
}

std::shared_ptr<const SlotMap> ServerLocator::slotMap() const {
  MutexLock lock(mutex_);
  return slotMap_;
}

void ServerLocator::storeSlotMap(std::shared_ptr<const SlotMap> map) {
  MutexLock lock(mutex_);
  current_ = map->source();
  slotMap_ = std::move(map);
}

std::shared_ptr<const SlotMap> ServerLocator::refreshSlotMap(utils::io::StopSource& stopSource) {
  // The primaries last known first: a seed list may name nodes that have long left.
  std::vector<std::string> nodes;
  if (const std::shared_ptr<const SlotMap> known = slotMap()) nodes = known->primaries();
  for (const std::string& seed : seeds_) {
    if (std::find(nodes.begin(), nodes.end(), seed) == nodes.end()) nodes.push_back(seed);
  }
  std::string reasons;
  for (const std::string& node : nodes) {
    try {
      RedisConnection connection(node, security_);
      connection.connect(stopSource, kNodeTimeout);
      std::shared_ptr<const SlotMap> map = SlotMap::fetch(connection);
      storeSlotMap(map);
      return map;
    } catch (const RedisError& error) {
      if (error.kind() == RedisError::Kind::kStopped) throw;
      reasons += (reasons.empty() ? "" : "; ") + node + ": " + reasonOf(error);
    }
  }
  throw RedisError(RedisError::Kind::kDiscovery, "no cluster node gave its slot map: " + reasons);
}

std::string ServerLocator::currentAddress() const {
  MutexLock lock(mutex_);
  return current_;
}

}  // namespace ormanta::plugins::TulService
