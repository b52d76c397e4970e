#pragma once

// The web view's logic that lives outside the page and outside any socket: the coalescing of
// values, the access token, and the text that carries names and values to the page.

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "peer/MemberValues.h"

namespace ormanta::peer::web {

// At most one value per member and window: a member that changes at 1 kHz reaches the page
// ten times a second with its latest value, a member that changes rarely reaches it at once.
// Not thread-safe: one hub thread owns it.
class Coalescer {
 public:
  using Clock = std::chrono::steady_clock;
  struct Update {
    std::string member;
    std::string value;
    std::string entryId;  // the value entry's ID: its time
  };

  explicit Coalescer(Clock::duration window = std::chrono::milliseconds(100)) : window_(window) {}

  // A value read from the member's stream at now; a newer one replaces one not yet sent.
  void offer(const std::string& member, std::string value, std::string entryId);
  // The members whose latest value is due at now, each at most once per window.
  std::vector<Update> take(Clock::time_point now);
  // How long until the next held value is due; max() when none is held.
  Clock::duration nextDue(Clock::time_point now) const;
  // The last value of each member (sent or held): what a page that opens now starts with.
  std::vector<Update> latest() const;
  void forget(const std::string& member) { members_.erase(member); }

 private:
  struct Member {
    Update latest;
    bool pending = false;
    Clock::time_point sentAt{};
  };
  Clock::duration window_;
  std::map<std::string, Member> members_;
};

// A random token of 32 hex digits from the system's random source.
std::string newAccessToken();
// Compares in time independent of where the texts differ; an empty expected token accepts all.
bool tokenMatches(std::string_view expected, std::string_view given);
// The value of a cookie in a Cookie header ("a=1; tul_token=x"), empty when absent.
std::string cookieValue(std::string_view header, std::string_view name);

// The page's JSON texts are tul-peer --json's.
using peer::jsonString;
// "a,b,,c" -> {"a","b","c"}.
std::vector<std::string> splitList(std::string_view text);

}  // namespace ormanta::peer::web
