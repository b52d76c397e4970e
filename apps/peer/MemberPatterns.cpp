#include "peer/MemberPatterns.h"

namespace ormanta::peer {
namespace {

// Matches one bracket set at pattern[p] (the '[') against c; next is the position after ']'.
// A '[' without its ']' is an ordinary character.
bool matchSet(std::string_view pattern, std::size_t p, char c, std::size_t& next) noexcept {
  std::size_t i = p + 1;
  const bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
  if (negated) ++i;
  bool found = false;
  for (bool first = true; i < pattern.size() && (first || pattern[i] != ']'); first = false) {
    const char low = pattern[i];
    if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
      found = found || (low <= c && c <= pattern[i + 2]);
      i += 3;
    } else {
      found = found || low == c;
      ++i;
    }
  }
  if (i >= pattern.size()) {
    next = p + 1;
    return c == '[';
  }
  next = i + 1;
  return found != negated;
}

}  // namespace

bool isPattern(std::string_view text) noexcept { return text.find_first_of("*?[") != std::string_view::npos; }

bool globMatch(std::string_view pattern, std::string_view text) noexcept {
  // Iterative with one back-track point: the last '*' and where its run would end next.
  std::size_t p = 0, t = 0, starP = std::string_view::npos, starT = 0;
  while (t < text.size()) {
    std::size_t next = p + 1;
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starT = t;
      continue;
    }
    bool matched = false;
    if (p < pattern.size()) {
      if (pattern[p] == '?') {
        matched = true;
      } else if (pattern[p] == '[') {
        matched = matchSet(pattern, p, text[t], next);
      } else if (pattern[p] == '\\' && p + 1 < pattern.size()) {
        matched = pattern[p + 1] == text[t];
        next = p + 2;
      } else {
        matched = pattern[p] == text[t];
      }
    }
    if (matched) {
      p = next;
      ++t;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool matchesMember(const std::string& service, std::string_view pattern, std::string_view path) noexcept {
  if (globMatch(pattern, path)) return true;
  const bool prefixed =
      path.size() > service.size() && path.starts_with(service) && path[service.size()] == '.';
  return prefixed && globMatch(pattern, path.substr(service.size() + 1));
}

std::vector<const MemberInfo*> matchMembers(const std::string& service, std::string_view pattern,
                                            const Catalogue& catalogue) {
  std::vector<const MemberInfo*> matched;
  for (const DataPointInfo& dataPoint : catalogue.dataPoints) {
    for (const MemberInfo& member : dataPoint.members) {
      if (matchesMember(service, pattern, member.path)) matched.push_back(&member);
    }
  }
  return matched;
}

}  // namespace ormanta::peer
