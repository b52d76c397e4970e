#pragma once

// One private redis-server for a whole test suite; every test starts from an empty database
// with reset statistics, a client that plays the peer and a fresh connected RedisConnection.

#include <gtest/gtest.h>

#include <memory>

#include "ormanta/utils/io/StopSource.h"
#include "redis/RedisConnection.h"
#include "support/RedisClient.h"
#include "support/RedisServer.h"

namespace tul::test {

class RedisSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = std::make_unique<RedisServer>(); }
  static void TearDownTestSuite() { server.reset(); }

  void SetUp() override {
    client = std::make_unique<RedisClient>(*server);
    client->flushAll();
    client->str({"CONFIG", "RESETSTAT"});
    connection = std::make_unique<ormanta::plugins::TulService::RedisConnection>(server->address());
    connection->connect(stop, 3);
  }

  inline static std::unique_ptr<RedisServer> server;
  std::unique_ptr<RedisClient> client;
  ormanta::utils::io::StopSource stop;
  std::unique_ptr<ormanta::plugins::TulService::RedisConnection> connection;
};

}  // namespace tul::test
