#include "commands/Channel.h"

#include <algorithm>

#include "ormanta/utils/chrono/TimePoint.h"
#include "plugin/Service.h"

namespace ormanta::plugins::TulService {

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t sum;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

std::int64_t millisecondsToTicks(std::int64_t milliseconds) noexcept {
  std::int64_t ticks;
  if (!__builtin_mul_overflow(milliseconds, utils::chrono::kTicksPerMillisecond, &ticks)) return ticks;
  return milliseconds > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

Channel::Channel(Service& owner, data::ReadHandle readHandle) : owner_(&owner), readHandle_(std::move(readHandle)) {}

std::error_code Channel::attach() {
  changed_.store(true);
  return readHandle_.addChangeHandler(*this);
}

void Channel::detach() noexcept { readHandle_.removeChangeHandler(*this); }

bool Channel::addSubscriber(const Subscription& s) {
  const bool lowered = s.samplingInterval < samplingInterval_.load();
  if (lowered) samplingInterval_.store(s.samplingInterval);
  if (std::find(subscribers_.begin(), subscribers_.end(), &s) == subscribers_.end()) subscribers_.push_back(&s);
  return lowered;
}

bool Channel::removeSubscriber(const Subscription& s) {
  std::erase(subscribers_, &s);
  if (s.samplingInterval > samplingInterval_.load()) return false;
  if (subscribers_.empty()) return false;
  std::int64_t shortest = std::numeric_limits<std::int64_t>::max();
  for (const Subscription* remaining : subscribers_) shortest = std::min(shortest, remaining->samplingInterval);
  samplingInterval_.store(shortest);
  return true;
}

void Channel::onChange() {
  if (!changed_.exchange(true)) owner_->changesPending.store(true);
}

void Channel::afterChanges() {
  if (owner_->changesPending.exchange(false)) owner_->sampleSignal.release();
}

std::int64_t Channel::nextDue() const noexcept {
  if (lastSampleTime_ == kNeverSampled) return kNeverSampled;
  return saturatingAdd(lastSampleTime_, millisecondsToTicks(samplingInterval_.load()));
}

void Channel::markSampled(std::int64_t time) noexcept {
  changed_.store(false);
  lastSampleTime_ = time;
}

}  // namespace ormanta::plugins::TulService
