#include "redis/RedisErrors.h"

#include <stdexcept>
#include <utility>

#include "ormanta/utils/eh/CurrentErrorCode.h"

namespace ormanta::plugins::TulService {
namespace {

// The code the host gives an exception with this text (equal texts, equal codes).
std::error_code codeOfText(const std::string& text) noexcept {
  try {
    throw std::runtime_error(text);
  } catch (...) {
    return utils::eh::currentErrorCode();
  }
}

RedisError::Reply replyOf(std::string_view prefix) noexcept {
  using Reply = RedisError::Reply;
  static constexpr std::pair<std::string_view, Reply> kPrefixes[] = {{"ERR", Reply::kErr},
                                                                     {"READONLY", Reply::kReadOnly},
                                                                     {"UNBLOCKED", Reply::kUnblocked},
                                                                     {"MOVED", Reply::kMoved},
                                                                     {"ASK", Reply::kAsk},
                                                                     {"TRYAGAIN", Reply::kTryAgain},
                                                                     {"CLUSTERDOWN", Reply::kClusterDown},
                                                                     {"WRONGTYPE", Reply::kWrongType},
                                                                     {"NOPERM", Reply::kNoPerm},
                                                                     {"OOM", Reply::kOom},
                                                                     {"EXECABORT", Reply::kExecAbort},
                                                                     {"MASTERDOWN", Reply::kMasterDown}};
  for (const auto& [text, reply] : kPrefixes) {
    if (prefix == text) return reply;
  }
  return Reply::kOther;
}

}  // namespace

RedisError::RedisError(Kind kind, const std::string& text, std::string detail)
    : std::system_error(codeOfText(text)), kind_(kind), detail_(std::move(detail)) {}

RedisError::RedisError(Kind kind, std::error_code socketCode, std::string detail)
    : std::system_error(socketCode), kind_(kind), detail_(std::move(detail)) {}

RedisError RedisError::fromReply(std::string_view text) {
  RedisError error(Kind::kReply, std::string(text));
  std::vector<std::string> words;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find(' ', start), text.size());
    if (end > start) words.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (!words.empty()) {
    error.prefix_ = std::move(words.front());
    error.arguments_.assign(std::make_move_iterator(words.begin() + 1), std::make_move_iterator(words.end()));
  }
  error.reply_ = replyOf(error.prefix_);
  return error;
}

bool RedisError::refusesOnlyItsKey() const noexcept {
  if (reply_ == Reply::kWrongType) return true;
  if (reply_ != Reply::kNoPerm) return false;
  // "NOPERM this user has no permissions to access one of the keys used as arguments" (6.x,
  // 7.0), "NOPERM No permissions to access a key" (7.2); not "... to run the 'xadd' command".
  for (const std::string& word : arguments_) {
    if (word.starts_with("key")) return true;
  }
  return false;
}

bool RedisError::meansPrimaryMoved() const noexcept {
  return kind_ == Kind::kNotPrimary || reply_ == Reply::kReadOnly || reply_ == Reply::kUnblocked ||
         reply_ == Reply::kMasterDown;
}

RedisError::Kind kindOfSocketError(std::error_code code) noexcept {
  if (code == std::errc::operation_canceled) return RedisError::Kind::kStopped;
  if (code == std::errc::timed_out) return RedisError::Kind::kTimeout;
  return RedisError::Kind::kClosed;
}

}  // namespace ormanta::plugins::TulService
