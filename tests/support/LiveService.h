#pragma once

// A fixture with a service element prepared against a private redis-server. Tests fill the
// model first, then start() the service; a RedisClient plays the peer.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/RedisClient.h"
#include "support/RedisServer.h"
#include "support/ServiceHarness.h"
#include "support/Wait.h"

namespace tul::test {

class LiveServiceTest : public ::testing::Test {
 protected:
  using Attr = ormanta::plugins::TulService::ServiceAttribute;

  // Configures and realizes the service, lets tune adjust it, then prepares it and waits until
  // both connections are up and the service is registered (unless waitUntilUp is false): the
  // registration deletes the command stream, so commands sent before it ends may be lost.
  void start(std::string serviceName = "S", const std::function<void(Service&)>& tune = {},
             bool waitUntilUp = true) {
    service = harness.create(serviceConfig(server.address(), serviceName));
    if (tune) tune(*service);
    service->prepare();
    if (server.running()) peer = std::make_unique<RedisClient>(server);
    if (waitUntilUp) {
      ASSERT_TRUE(waitFor(Attr::kState, true)) << "the service did not come up";
      ASSERT_TRUE(waitFor(Attr::kIsServiceRegistered, true)) << "the service was not registered";
    }
  }

  bool waitFor(Attr which, bool value, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return waitUntil([&] { return flagAttribute(*service, which) == value; }, timeout);
  }

  void TearDown() override {
    if (service) service->cleanup();
  }

  RedisServer server;
  ServiceHarness harness;
  std::shared_ptr<Service> service;  // destroyed before the harness's allocator
  std::unique_ptr<RedisClient> peer;
};

}  // namespace tul::test
