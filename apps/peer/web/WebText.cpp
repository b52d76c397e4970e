#include "peer/web/WebText.h"

#include <cstdio>
#include <random>

namespace ormanta::peer::web {

void Coalescer::offer(const std::string& member, std::string value, std::string entryId) {
  Member& state = members_[member];
  state.latest = {member, std::move(value), std::move(entryId)};
  state.pending = true;
}

std::vector<Coalescer::Update> Coalescer::take(Clock::time_point now) {
  std::vector<Update> due;
  for (auto& [name, state] : members_) {
    if (!state.pending || now - state.sentAt < window_) continue;
    state.pending = false;
    state.sentAt = now;
    due.push_back(state.latest);
  }
  return due;
}

Coalescer::Clock::duration Coalescer::nextDue(Clock::time_point now) const {
  Clock::duration next = Clock::duration::max();
  for (const auto& [name, state] : members_) {
    if (state.pending) next = std::min(next, std::max(Clock::duration::zero(), state.sentAt + window_ - now));
  }
  return next;
}

std::vector<Coalescer::Update> Coalescer::latest() const {
  std::vector<Update> all;
  for (const auto& [name, state] : members_) all.push_back(state.latest);
  return all;
}

std::string newAccessToken() {
  std::random_device device;
  std::string token;
  for (int i = 0; i < 4; ++i) {
    char part[9];
    std::snprintf(part, sizeof part, "%08x", device());
    token += part;
  }
  return token;
}

bool tokenMatches(std::string_view expected, std::string_view given) {
  if (expected.empty()) return true;
  unsigned difference = expected.size() == given.size() ? 0 : 1;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    difference |=
        static_cast<unsigned char>(expected[i]) ^ static_cast<unsigned char>(i < given.size() ? given[i] : 0);
  }
  return difference == 0;
}

std::string cookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const std::size_t end = std::min(header.find(';'), header.size());
    std::string_view pair = header.substr(0, end);
    header.remove_prefix(std::min(end + 1, header.size()));
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    if (pair.size() > name.size() && pair.substr(0, name.size()) == name && pair[name.size()] == '=')
      return std::string(pair.substr(name.size() + 1));
  }
  return {};
}

std::vector<std::string> splitList(std::string_view text) {
  std::vector<std::string> items;
  while (!text.empty()) {
    const std::size_t comma = std::min(text.find(','), text.size());
    if (comma > 0) items.emplace_back(text.substr(0, comma));
    text.remove_prefix(std::min(comma + 1, text.size()));
  }
  return items;
}

}  // namespace ormanta::peer::web
