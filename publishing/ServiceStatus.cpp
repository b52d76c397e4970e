#include "publishing/ServiceStatus.h"

#include <fmt/format.h>

#include <algorithm>

#include "ormanta/utils/chrono/IsoDateTime.h"
#include "plugin/ThreadSafety.h"

namespace ormanta::plugins::TulService {
namespace {

std::string isoText(utils::chrono::TimePoint time) {
  char buffer[utils::chrono::kMaxIsoDateTimeLength];
  return std::string(buffer, utils::chrono::formatIsoDateTime(buffer, sizeof buffer, time));
}

}  // namespace

void RegistrationStamps::completed(std::uint64_t connection, utils::chrono::TimePoint at) noexcept {
  {
    SpinLockGuard lock(lock_);
    completedConnection_ = connection;
    completedAt_ = at;
  }
  completions_.fetch_add(1);
}

std::optional<utils::chrono::TimePoint> RegistrationStamps::completedFor(std::uint64_t connection) noexcept {
  SpinLockGuard lock(lock_);
  if (completedConnection_ != connection || connection == 0) return std::nullopt;
  return completedAt_;
}

std::string ServiceStatus::keyOf(const std::string& serviceName) {
  return fmt::format("{}.Status", serviceName);
}

std::string ServiceStatus::text(utils::chrono::TimePoint connectedSince,
                                std::optional<utils::chrono::TimePoint> registeredAt) {
  // ISO texts hold no character that JSON would escape.
  return fmt::format(R"({{"connectedSince":"{}","registeredAt":{}}})", isoText(connectedSince),
                     registeredAt ? fmt::format("\"{}\"", isoText(*registeredAt)) : std::string("null"));
}

ServiceStatus::ServiceStatus(RedisAccess& connection, const std::string& serviceName,
                             utils::chrono::TimePoint connectedSince)
    : connection_(connection), key_(keyOf(serviceName)), connectedSince_(connectedSince) {}

void ServiceStatus::write(std::optional<utils::chrono::TimePoint> registeredAt) {
  const std::string value = text(connectedSince_, registeredAt);
  const std::string lifetime = std::to_string(kLifetimeMs);
  const RedisReplyPtr reply = connection_.keyCommand({"SET", key_, value, "PX", lifetime});
  if (reply->type == kReplyError) {
    throw RedisError::fromReply(reply->str == nullptr ? std::string_view()
                                                      : std::string_view(reply->str, reply->len));
  }
  lastWrite_ = std::chrono::steady_clock::now();
}

std::int64_t ServiceStatus::msUntilRefresh(std::int64_t refreshEveryMs) const noexcept {
  const auto since =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - lastWrite_);
  return std::max<std::int64_t>(refreshEveryMs - since.count(), 0);
}

void ServiceStatus::withdraw() noexcept {
  try {
    connection_.keyCommand({"DEL", key_}, kWithdrawBound);
  } catch (...) {
    // Unanswered or refused: the key expires within its lifetime.
  }
}

}  // namespace ormanta::plugins::TulService
