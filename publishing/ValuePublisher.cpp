#include "publishing/ValuePublisher.h"

#include <algorithm>
#include <mutex>

#include <fmt/format.h>

#include "commands/Channel.h"
#include "plugin/CheckedArithmetic.h"
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

void ValuePublisher::collectChangedChannels() {
  ChannelList& queue = service_.sampleQueue;
  Channel* first = service_.changedChannels.takeAll();
  std::size_t count = 0;
  for (Channel* channel = first; channel != nullptr; channel = channel->nextChanged()) ++count;
  try {
    queue.reserve(queue.size() + count);
  } catch (...) {
    // Nothing may be dropped: the channels go back for the next pass.
    service_.changedChannels.pushChain(first);
    throw;
  }
  for (Channel* channel = first; channel != nullptr;) {
    Channel* next = channel->nextChanged();
    if (!channel->isRetired()) queue.push_back(channel->shared_from_this());
    channel = next;
  }
}

PublishResult ValuePublisher::publishPass(std::int64_t maxWaitMs) {
  {
    // Channels that left the map stay alive until the changed stack has been emptied below.
    std::lock_guard lock(service_.channelMutex);
    retired_.swap(service_.retiredChannels);
  }
  collectChangedChannels();

  values_.clear();
  published_.clear();
  const std::int64_t now = utils::chrono::now().time_since_epoch().count();
  PublishResult result{false, static_cast<std::uint64_t>(std::max<std::int64_t>(maxWaitMs, 0))};
  const auto waitFor = [&](std::int64_t due) {
    result.waitingChannels = true;
    const std::int64_t ahead = saturatingSub(due, now);
    result.waitMs = std::min(result.waitMs, static_cast<std::uint64_t>(ahead / utils::chrono::kTicksPerMillisecond) + 1);
  };

  // Compacts the queue in place to the channels that stay for a later pass. A channel leaves the
  // queue before its `changed` flag is cleared, so that a change landing meanwhile queues it
  // anew instead of being lost. After an exception, null slots are passed over next time.
  ChannelList& queue = service_.sampleQueue;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < queue.size(); ++i) {
    if (!queue[i] || queue[i]->isRetired()) continue;
    Channel& channel = *queue[i];
    const bool requested = channel.takeValueRequest();
    const std::int64_t due = requested ? now : channel.nextDue();
    if (now < due) {
      waitFor(due);
      queue[kept++] = std::move(queue[i]);
      continue;
    }
    std::shared_ptr<Channel> taken = std::move(queue[i]);
    if (!taken->takeChange() && !requested) continue;
    std::optional<std::string> text = valueText(taken->readHandle());
    if (!text) {
      // Not readable now: retried once its interval has passed, as a waiting channel.
      taken->restoreChange();
      taken->deferRetry(now, kUnreadableRetryMs);
      waitFor(taken->nextDue());
      queue[kept++] = std::move(taken);
      continue;
    }
    taken->markSampled(now);
    values_.push_back(StreamValue{taken->valueStreamKey(), std::move(*text)});
    published_.push_back(std::move(taken));
  }
  queue.resize(kept);

  connection_.xaddValues(values_, kValueHistoryLength);
  published_.clear();
  retired_.clear();
  return result;
}

}  // namespace ormanta::plugins::TulService
