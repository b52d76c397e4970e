#pragma once

#include <hiredis/hiredis.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tul::test {

class RedisServer;

struct ReplyDeleter {
  void operator()(redisReply* reply) const noexcept { freeReplyObject(reply); }
};
using ReplyPtr = std::unique_ptr<redisReply, ReplyDeleter>;

// A synchronous hiredis client for tests that play a peer or inspect the server. Connects
// within 3 s; each command gives up after 5 s, so a stalled server fails the test instead of
// hanging it. Throws std::runtime_error on failures.
class RedisClient {
 public:
  using Fields = std::vector<std::pair<std::string, std::string>>;
  struct Entry {
    std::string id;
    Fields fields;
  };

  RedisClient(const std::string& host, int port);
  explicit RedisClient(const RedisServer& server);

  // The reply, whatever its type (error replies included).
  ReplyPtr command(const std::vector<std::string>& args);
  // Every command in one write, then their replies in order (error replies included).
  std::vector<ReplyPtr> pipeline(const std::vector<std::vector<std::string>>& commands);
  // The next reply the server pushes on this connection (a MONITOR feed, say).
  ReplyPtr nextReply();
  // The text of a string or status reply; throws on any other reply (with an error's text).
  std::string str(const std::vector<std::string>& args);
  // The value of an integer reply; throws on any other reply.
  long long integer(const std::vector<std::string>& args);

  std::map<std::string, std::string> hgetall(const std::string& key);
  // Entries from start on ("(ID": after ID).
  std::vector<Entry> xrange(const std::string& key, const std::string& start = "-");
  std::string xadd(const std::string& key, const Fields& fields);
  long long xlen(const std::string& key) { return integer({"XLEN", key}); }
  bool exists(const std::string& key) { return integer({"EXISTS", key}) != 0; }
  void flushAll() { str({"FLUSHALL"}); }
  // Connections to the server now, this one included.
  long clientCount() {
    const std::string list = str({"CLIENT", "LIST"});
    return static_cast<long>(std::count(list.begin(), list.end(), '\n'));
  }
  // Commands the server saw since the last CONFIG RESETSTAT, by name ("xadd" -> 3), from INFO
  // commandstats: those it ran (failed ones included) and those it refused before running them.
  std::map<std::string, long long> commandStats();

 private:
  ReplyPtr expect(const std::vector<std::string>& args, int type);
  void append(const std::vector<std::string>& args);
  ReplyPtr reply(const std::string& what);

  std::unique_ptr<redisContext, decltype(&redisFree)> context_;
};

}  // namespace tul::test
