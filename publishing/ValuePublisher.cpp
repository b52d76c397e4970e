#include "publishing/ValuePublisher.h"

#include <algorithm>
#include <limits>
#include <mutex>

#include <fmt/format.h>

#include "commands/Channel.h"
#include "ormanta/utils/chrono/TimePoint.h"
#include "plugin/Service.h"
#include "publishing/ValueText.h"

namespace ormanta::plugins::TulService {

ValuePublisher::ValuePublisher(RedisConnection& connection, Service& service)
    : connection_(connection),
      service_(service),
      serviceName_(service.serviceName),
      valueStreamPrefix_(fmt::format("{}Value", serviceName_)) {}

std::string ValuePublisher::valueStreamKey(std::string_view memberPath) const {
  return fmt::format("{}:{}", valueStreamPrefix_, memberPath);
}

PublishResult ValuePublisher::publishPass(std::int64_t maxWaitMs) {
  snapshot_.clear();
  {
    // No Redis traffic under the lock: the pass works on a copy, whose shared references keep
    // a channel removed meanwhile alive until the pass ends.
    std::lock_guard lock(service_.channelMutex);
    snapshot_.reserve(service_.channelMap.size());
    for (const auto& [name, channel] : service_.channelMap) snapshot_.emplace_back(name, channel);
  }

  records_.clear();
  const std::int64_t now = utils::chrono::now().time_since_epoch().count();
  PublishResult result{false, static_cast<std::uint64_t>(std::max<std::int64_t>(maxWaitMs, 0))};

  for (const auto& [name, channel] : snapshot_) {
    if (!channel->isChanged()) continue;
    const std::int64_t due = channel->nextDue();
    if (now < due) {
      result.waitingChannels = true;
      std::int64_t ahead;
      if (__builtin_sub_overflow(due, now, &ahead)) ahead = std::numeric_limits<std::int64_t>::max();
      const auto untilDue = static_cast<std::uint64_t>(ahead / utils::chrono::kTicksPerMillisecond) + 1;
      result.waitMs = std::min(result.waitMs, untilDue);
      continue;
    }
    std::optional<std::string> text = valueText(channel->readHandle());
    if (!text) continue;  // not readable now: stays changed and is retried
    channel->markSampled(now);
    RedisRecord& record = records_.emplace_back();
    record.key = valueStreamKey(name);
    record.fields.emplace("value", std::move(*text));
  }

  if (!records_.empty()) connection_.xadd(records_, kValueHistoryLength);
  snapshot_.clear();
  return result;
}

}  // namespace ormanta::plugins::TulService
