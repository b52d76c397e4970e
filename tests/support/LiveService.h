#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "support/RedisClient.h"
#include "support/RedisServer.h"
#include "support/ServiceHarness.h"
#include "support/Wait.h"

namespace tul::test {

// A service element prepared against a private redis-server: tests fill the model, then
// start() the service; a RedisClient plays the peer.
class LiveServiceTest : public ::testing::Test {
 protected:
  using Attr = ormanta::plugins::TulService::ServiceAttribute;

  // Makes the service, lets tune adjust it, prepares it and (unless waitUntilUp is false)
  // waits until it is up and registered: registration deletes the command stream.
  void start(std::string serviceName = "S", const std::function<void(Service&)>& tune = {},
             bool waitUntilUp = true) {
    service = harness.create(serviceConfig(server.address(), serviceName));
    if (tune) tune(*service);
    service->prepare();
    if (server.running()) peer = std::make_unique<RedisClient>(server);
    if (waitUntilUp) {
      ASSERT_TRUE(waitFor(Attr::kState, true)) << "the service did not come up";
      ASSERT_TRUE(waitFor(Attr::kIsServiceRegistered, true))
          << "the service was not registered: "
          << errorAttribute(*service, Attr::kServiceRegistrationError).message()
          << " (data connection: " << errorAttribute(*service, Attr::kDataConnectionError).message() << ")";
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
