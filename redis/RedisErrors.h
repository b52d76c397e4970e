#pragma once

// RedisError: every failure of the Redis client, told apart by kind, and for the server's error
// replies by their prefix and arguments. Callers decide by kind() and reply(), never by text.
//
// It is a std::system_error whose code is what the host shows: a socket's failure keeps the
// socket's own code, every other failure carries the code of its text in the host's exception
// category, which is the code ormanta::utils::eh::currentErrorCode() gives any exception with
// that text. So a worker that records currentErrorCode() shows the same code and message as
// before errors had types, and what() is that message.
//
// Plain data once made; any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace ormanta::plugins::TulService {

class RedisError : public std::system_error {
 public:
  enum class Kind {
    kConnect,     // no connection within the connect time-out (detail(): why not)
    kClosed,      // the server, or the path to it, closed the connection
    kTimeout,     // no reply, or no progress of a write, within its time
    kStopped,     // the stop source ended a connect or a wait
    kProtocol,    // bytes that are not RESP, or replies out of step with the requests
    kReply,       // the server answered with an error reply: see reply() and arguments()
    kTls,         // a TLS handshake or session failed
    kRefused,     // the client itself refuses: a file it cannot use, a request it cannot format
    kNotPrimary,  // the server is not, or no longer, the primary: a role check, a failover's announcement
    kDiscovery,   // the sentinels named no primary: none answered, or none knows the master
  };

  // The error replies the service tells apart, by their first word.
  enum class Reply {
    kNone,  // not an error reply
    kOther,
    kErr,
    kReadOnly,
    kUnblocked,
    kMoved,
    kAsk,
    kTryAgain,
    kClusterDown,
    kWrongType,
    kNoPerm,
    kOom,
    kExecAbort,
    kMasterDown,
  };

  // A failure described by text; what() is text.
  RedisError(Kind kind, const std::string& text, std::string detail = {});
  // A failure of the socket, with the socket's code.
  RedisError(Kind kind, std::error_code socketCode, std::string detail = {});
  // The server's error reply; what() is its text, unchanged.
  static RedisError fromReply(std::string_view text);

  Kind kind() const noexcept { return kind_; }
  Reply reply() const noexcept { return reply_; }
  // The error reply's first word ("MOVED") and the words after it ({"3999", "127.0.0.1:6381"}).
  const std::string& prefix() const noexcept { return prefix_; }
  const std::vector<std::string>& arguments() const noexcept { return arguments_; }
  // More about the cause, beside the host's text (the reason a connect failed); may be empty.
  const std::string& detail() const noexcept { return detail_; }

  // An error reply that refuses one key and leaves the connection fit for others: WRONGTYPE,
  // or an ACL refusal of the key. Not OOM, not a refused command.
  bool refusesOnlyItsKey() const noexcept;
  // The server is not, or no longer, the primary: READONLY (a replica refusing a write),
  // UNBLOCKED (a blocked read ended because the server became a replica), MASTERDOWN (a replica
  // that lost its primary), or kNotPrimary.
  bool meansPrimaryMoved() const noexcept;

 private:
  Kind kind_;
  Reply reply_ = Reply::kNone;
  std::string prefix_;
  std::vector<std::string> arguments_;
  std::string detail_;
};

// The kind a socket's failure is: a stop, a time-out, else a closed connection.
RedisError::Kind kindOfSocketError(std::error_code code) noexcept;

}  // namespace ormanta::plugins::TulService
