#pragma once

// Hand-built hiredis replies: RESP bytes fed through hiredis' own reader, as the connection
// would, without a socket.

#include <gtest/gtest.h>

#include <string_view>

#include "redis/RedisTypes.h"

namespace tul::test {

inline ormanta::plugins::TulService::RedisReplyPtr replyFrom(std::string_view bytes) {
  redisReader* reader = redisReaderCreate();
  redisReaderFeed(reader, bytes.data(), bytes.size());
  void* raw = nullptr;
  const int status = redisReaderGetReply(reader, &raw);
  redisReaderFree(reader);
  ormanta::plugins::TulService::RedisReplyPtr reply(static_cast<redisReply*>(raw));
  EXPECT_EQ(status, REDIS_OK) << bytes;
  EXPECT_TRUE(reply) << "incomplete reply: " << bytes;
  return reply;
}

}  // namespace tul::test
