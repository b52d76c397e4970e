#include "publishing/ValuePublisher.h"

#include <fmt/format.h>

#include <algorithm>

#include "ormanta/utils/chrono/TimePoint.h"
#include "ormanta/utils/eh/CurrentErrorCode.h"
#include "plugin/CheckedArithmetic.h"
#include "plugin/Service.h"
#include "plugin/StatePublishing.h"
#include "publishing/Channel.h"
#include "publishing/ValueStreams.h"
#include "publishing/ValueText.h"

namespace ormanta::plugins::TulService {

ValuePublisher::ValuePublisher(RedisAccess& connection, Service& service)
    : connection_(connection), channels_(service.channels()), handler_(*service.dataHandler()) {}

void ValuePublisher::collectChangedChannels() {
  ChannelList& queue = handler_.sampleQueue;
  Channel* first = channels_.takeChanged();
  std::size_t count = 0;
  for (Channel* channel = first; channel != nullptr; channel = channel->nextChanged()) ++count;
  try {
    queue.reserve(queue.size() + count);
  } catch (...) {
    // Nothing may be dropped: the channels go back for the next pass. The retired ones do not:
    // this pass's retired_ is what keeps them alive, and it goes with the pass.
    channels_.putBackChanged(ChangedChannels::withoutRetired(first));
    throw;
  }
  for (Channel* channel = first; channel != nullptr;) {
    Channel* next = channel->nextChanged();
    if (!channel->isRetired()) queue.push_back(channel->shared_from_this());
    channel = next;
  }
}

PublishResult ValuePublisher::publishPass(std::int64_t maxWaitMs) {
  // Channels that left the map stay alive until the changed stack has been emptied below.
  channels_.takeRetired(retired_);
  collectChangedChannels();

  values_.clear();
  published_.clear();
  const std::int64_t now = utils::chrono::now().time_since_epoch().count();
  PublishResult result{false, static_cast<std::uint64_t>(std::max<std::int64_t>(maxWaitMs, 0))};
  const auto waitFor = [&](std::int64_t due) {
    result.waitingChannels = true;
    const std::int64_t ahead = saturatingSub(due, now);
    result.waitMs =
        std::min(result.waitMs, static_cast<std::uint64_t>(ahead / utils::chrono::kTicksPerMillisecond) + 1);
  };

  // Compacts the queue in place to the channels that stay for a later pass. A channel leaves the
  // queue before its `changed` flag is cleared, so that a change landing meanwhile queues it
  // anew instead of being lost. After an exception, null slots are passed over next time.
  ChannelList& queue = handler_.sampleQueue;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < queue.size(); ++i) {
    if (!queue[i]) continue;
    if (queue[i]->isRetired()) {
      if (queue[i]->setRefused(false)) --handler_.refusedStreams;
      continue;
    }
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

  connection_.xaddValues(values_, kValueHistoryLength, refusals_);
  if (!refusals_.empty() || handler_.refusedStreams > 0) takeRefusals(now, result);
  published_.clear();
  retired_.clear();
  return result;
}

void ValuePublisher::takeRefusals(std::int64_t now, PublishResult& result) {
  // Out of memory, a refused command: nothing would be written, the connection fails as ever.
  for (const Refusal& refusal : refusals_) {
    RedisError error = RedisError::fromReply(refusal.text);
    if (!error.refusesOnlyItsKey()) throw error;
  }
  const bool refusedBefore = handler_.refusedStreams > 0;
  std::optional<std::string> shown;
  auto refusal = refusals_.begin();
  for (std::size_t i = 0; i < published_.size(); ++i) {
    Channel& channel = *published_[i];
    if (refusal == refusals_.end() || refusal->index != i) {
      if (channel.setRefused(false)) --handler_.refusedStreams;
      continue;
    }
    if (!channel.setRefused(true)) ++handler_.refusedStreams;
    shown = fmt::format("value stream {} refused: {}", channel.valueStreamKey(), refusal->text);
    ++refusal;
    // Kept as a changed channel that waits, as an unreadable one does.
    channel.restoreChange();
    channel.deferRetry(now, kRefusedRetryMs);
    result.waitingChannels = true;
    result.waitMs = std::min<std::uint64_t>(result.waitMs, kRefusedRetryMs + 1);
    handler_.sampleQueue.push_back(published_[i]);
  }
  if (shown) {
    // The code the host gives this text, as for any other failure it shows.
    publishPublishingError(handler_, RedisError(RedisError::Kind::kReply, *shown).code());
  } else if (refusedBefore && handler_.refusedStreams == 0) {
    publishPublishingError(handler_, connectionError(ConnectionErrorCategory::kNoError));
  }
}

}  // namespace ormanta::plugins::TulService
