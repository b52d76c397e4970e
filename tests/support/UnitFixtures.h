#pragma once

// Shared by the plug-in's unit tests: a model with one Boiler of every native type, a service
// made on it without workers, scripted servers that answer every request, and look-ups.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ormanta/host/Model.h"
#include "ormanta/utils/io/StopSource.h"
#include "plugin/Service.h"
#include "publishing/Channel.h"
#include "redis/RedisConnection.h"
#include "support/FakeServer.h"
#include "support/LiveService.h"
#include "support/ServiceHarness.h"

namespace tul::test {

using ormanta::plugins::TulService::Channel;
using ormanta::plugins::TulService::RedisConnection;

// Boiler: a read-only Temp of 20.5 and a read-write member of every other native type.
inline void addBoiler(ormanta::host::Model& model) {
  using ormanta::data::NativeType;
  const auto rw = ormanta::model::kAccessReadWrite;
  model.addElement({"Boiler",
                    "",
                    {},
                    {{"On", NativeType::kBool, rw},
                     {"Count", NativeType::kInt, rw},
                     {"Small", NativeType::kInt, rw, 16},
                     {"Level", NativeType::kUInt, rw},
                     {"Temp", NativeType::kDouble, ormanta::model::kAccessRead, 64, 20.5},
                     {"Setpoint", NativeType::kDouble, rw, 64, 21.0},
                     {"Label", NativeType::kString, rw},
                     {"Since", NativeType::kTimePoint, rw},
                     {"Id", NativeType::kUuid, rw},
                     {"Quality", NativeType::kQuality, rw},
                     {"Category", NativeType::kCategory, rw},
                     {"Fault", NativeType::kErrorCode, rw},
                     {"Blob", NativeType::kBinary, rw}}});
}

// The attribute of element with that name, if it has one.
inline std::optional<ormanta::model::Attribute> attributeNamed(const ormanta::model::Element& element,
                                                               std::string_view name) {
  std::optional<ormanta::model::Attribute> found;
  element.forEachAttribute([&](const ormanta::model::Attribute& a) {
    if (a.name() == name) found = a;
    return found.has_value();
  });
  return found;
}

// Answers every request with reply (an XADD's entry ID by default) until the client goes.
inline FakeServer::Script answerEvery(std::string reply = "$3\r\n1-1\r\n") {
  return [reply](FakeConnection& connection) {
    while (!connection.readCommand(std::chrono::seconds(2)).empty()) connection.send(reply);
  };
}

// The service "S" on a model holding the Boiler, realized but never prepared: no worker runs.
class BoilerServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    addBoiler(harness.model());
    service = harness.create("{\"serviceName\":\"S\"}");
  }

  std::unique_ptr<RedisConnection> connectTo(const FakeServer& server) {
    auto connection = std::make_unique<RedisConnection>(server.address());
    connection->connect(stop, 3);
    return connection;
  }

  ServiceHarness harness;
  std::shared_ptr<Service> service;
  ormanta::utils::io::StopSource stop;  // outlives the connections bound to it
};

// A running service "S" on a private redis-server, its model holding the Boiler.
class BoilerLiveTest : public LiveServiceTest {
 protected:
  void SetUp() override { addBoiler(harness.model()); }
};

}  // namespace tul::test
