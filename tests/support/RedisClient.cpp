#include "support/RedisClient.h"

#include <sstream>
#include <stdexcept>

#include "support/RedisServer.h"

namespace tul::test {

namespace {

std::string textOf(const redisReply& reply) {
  return reply.str ? std::string(reply.str, reply.len) : std::string();
}

RedisClient::Fields pairsOf(const redisReply& array) {
  RedisClient::Fields fields;
  for (std::size_t i = 0; i + 1 < array.elements; i += 2) {
    fields.emplace_back(textOf(*array.element[i]), textOf(*array.element[i + 1]));
  }
  return fields;
}

}  // namespace

RedisClient::RedisClient(const std::string& host, int port)
    : context_(redisConnectWithTimeout(host.c_str(), port, timeval{3, 0}), &redisFree) {
  if (!context_ || context_->err != 0) {
    const std::string error = context_ ? context_->errstr : "out of memory";
    throw std::runtime_error("redis client: cannot connect to " + host + ":" + std::to_string(port) + ": " +
                             error);
  }
  redisSetTimeout(context_.get(), timeval{5, 0});
}

RedisClient::RedisClient(const RedisServer& server) : RedisClient("127.0.0.1", server.port()) {}

ReplyPtr RedisClient::command(const std::vector<std::string>& args) {
  append(args);
  return reply(args.at(0));
}

std::vector<ReplyPtr> RedisClient::pipeline(const std::vector<std::vector<std::string>>& commands) {
  for (const auto& args : commands) append(args);
  std::vector<ReplyPtr> replies;
  for (const auto& args : commands) replies.push_back(reply(args.at(0)));
  return replies;
}

ReplyPtr RedisClient::nextReply() { return reply("next reply"); }

void RedisClient::append(const std::vector<std::string>& args) {
  std::vector<const char*> pointers;
  std::vector<std::size_t> lengths;
  for (const auto& arg : args) {
    pointers.push_back(arg.data());
    lengths.push_back(arg.size());
  }
  if (redisAppendCommandArgv(context_.get(), static_cast<int>(args.size()), pointers.data(), lengths.data()) !=
      REDIS_OK) {
    throw std::runtime_error("redis client: " + args.at(0) + ": " + context_->errstr);
  }
}

ReplyPtr RedisClient::reply(const std::string& what) {
  void* raw = nullptr;
  if (redisGetReply(context_.get(), &raw) != REDIS_OK || raw == nullptr) {
    throw std::runtime_error("redis client: " + what + ": " + context_->errstr);
  }
  return ReplyPtr(static_cast<redisReply*>(raw));
}

ReplyPtr RedisClient::expect(const std::vector<std::string>& args, int type) {
  ReplyPtr reply = command(args);
  if (reply->type != type && !(type == REDIS_REPLY_STRING && reply->type == REDIS_REPLY_STATUS)) {
    throw std::runtime_error("redis client: " + args.at(0) + ": " +
                             (reply->type == REDIS_REPLY_ERROR
                                  ? textOf(*reply)
                                  : "unexpected reply type " + std::to_string(reply->type)));
  }
  return reply;
}

std::string RedisClient::str(const std::vector<std::string>& args) {
  return textOf(*expect(args, REDIS_REPLY_STRING));
}

long long RedisClient::integer(const std::vector<std::string>& args) {
  return expect(args, REDIS_REPLY_INTEGER)->integer;
}

std::map<std::string, std::string> RedisClient::hgetall(const std::string& key) {
  const Fields fields = pairsOf(*expect({"HGETALL", key}, REDIS_REPLY_ARRAY));
  return {fields.begin(), fields.end()};
}

std::vector<RedisClient::Entry> RedisClient::xrange(const std::string& key, const std::string& start) {
  const ReplyPtr reply = expect({"XRANGE", key, start, "+"}, REDIS_REPLY_ARRAY);
  std::vector<Entry> entries;
  for (std::size_t i = 0; i < reply->elements; ++i) {
    const redisReply& entry = *reply->element[i];
    entries.push_back({textOf(*entry.element[0]), pairsOf(*entry.element[1])});
  }
  return entries;
}

std::string RedisClient::xadd(const std::string& key, const Fields& fields) {
  std::vector<std::string> args = {"XADD", key, "*"};
  for (const auto& [field, value] : fields) {
    args.push_back(field);
    args.push_back(value);
  }
  return str(args);
}

std::map<std::string, long long> RedisClient::commandStats() {
  std::stringstream lines(str({"INFO", "commandstats"}));
  std::map<std::string, long long> calls;
  const std::string prefix = "cmdstat_";
  for (std::string line; std::getline(lines, line);) {
    const auto colon = line.find(':');
    if (line.rfind(prefix, 0) != 0 || colon == std::string::npos) continue;
    long long& count = calls[line.substr(prefix.size(), colon - prefix.size())];
    // "cmdstat_xadd:calls=3,usec=...,rejected_calls=0,failed_calls=0"
    for (const std::string counter : {":calls=", ",rejected_calls="}) {
      const auto at = line.find(counter);
      if (at != std::string::npos) count += std::stoll(line.substr(at + counter.size()));
    }
  }
  return calls;
}

}  // namespace tul::test
