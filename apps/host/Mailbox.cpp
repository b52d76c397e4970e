#include "host/Mailbox.h"

namespace ormanta::apps {

void Mailbox::postLine(std::string line) {
  {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
  }
  posted_.notify_one();
}

void Mailbox::postEvent(RaisedEvent event) {
  {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  posted_.notify_one();
}

void Mailbox::postAttributesChanged(std::size_t service) {
  {
    std::lock_guard lock(mutex_);
    if (changed_.size() <= service) changed_.resize(service + 1, false);
    changed_[service] = true;
    anyChanged_ = true;
  }
  posted_.notify_one();
}

Mailbox::Contents Mailbox::waitUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  posted_.wait_until(lock, deadline, [this] { return !lines_.empty() || !events_.empty() || anyChanged_; });
  return takeLocked();
}

Mailbox::Contents Mailbox::take() {
  std::lock_guard lock(mutex_);
  return takeLocked();
}

Mailbox::Contents Mailbox::takeLocked() {
  Contents contents;
  contents.lines.assign(std::make_move_iterator(lines_.begin()), std::make_move_iterator(lines_.end()));
  lines_.clear();
  contents.events.swap(events_);
  for (std::size_t i = 0; i < changed_.size(); ++i) {
    if (changed_[i]) contents.changedServices.push_back(i);
    changed_[i] = false;
  }
  anyChanged_ = false;
  return contents;
}

}  // namespace ormanta::apps
