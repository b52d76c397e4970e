// The service element as the host sees it: configuration, attributes, events and lifecycle.

#include <gtest/gtest.h>

#include <chrono>

#include "ormanta/config/Config.h"
#include "ormanta/host/Host.h"
#include "support/Errors.h"
#include "support/RedisServer.h"
#include "support/ServiceHarness.h"
#include "support/UnitFixtures.h"
#include "support/Wait.h"

namespace {

using namespace ormanta;
using namespace ormanta::plugins::TulService;
using tul::test::ServiceHarness;

class ServiceTest : public ::testing::Test {
 protected:
  ServiceHarness harness;

  std::shared_ptr<Service> configured(std::string_view json) {
    auto element = skill.createElement(serviceElementClass(), harness.allocator());
    auto service = std::static_pointer_cast<Service>(element);
    auto document = utils::json::decoder::Document::parse(json);
    service->loadConfiguration(document.root().asObject(), config::Context());
    return service;
  }

  plugins::TulService::Skill skill;
};

// ---- configuration ----

TEST_F(ServiceTest, ConfigurationReadsBothKeysWithDefaultsAndRefusesUnknownKeysAndOtherKinds) {
  auto service = configured(R"({"address":"redis.local:7000","serviceName":"Plant"})");
  EXPECT_EQ(service->address(), "redis.local:7000");
  EXPECT_EQ(service->serviceName(), "Plant");
  // Empty or missing names take the default; a repeated key takes its last value.
  const std::tuple<const char*, const char*, std::string> cases[] = {
      {"{}", "", "TULOrmantaService"},
      {R"({"serviceName":"","address":""})", "", "TULOrmantaService"},
      {R"({"serviceName":"First","address":"a","serviceName":"Second"})", "a", "Second"},
      {R"({"serviceName":"a\"b\u0000c"})", "", std::string("a\"b\0c", 5)}};
  for (const auto& [json, address, name] : cases) {
    service = configured(json);
    EXPECT_EQ(service->address(), address) << json;
    EXPECT_EQ(service->serviceName(), name) << json;
  }

  service = configured(R"({"serviceName":"Kept"})");
  auto bad = utils::json::decoder::Document::parse(R"({"serviceName":"New","port":6379})");
  try {
    service->loadConfiguration(bad.root().asObject(), config::Context());
    ADD_FAILURE() << "an unknown key was accepted";
  } catch (const config::UnknownParameterError& error) {
    EXPECT_EQ(error.parameter(), "port");
    EXPECT_STREQ(error.what(), "unknown configuration parameter \"port\"");
  }
  EXPECT_EQ(service->serviceName(), "Kept") << "a refused configuration changes nothing";
  EXPECT_EQ(tul::test::messageOf<std::invalid_argument>([&] { configured(R"({"address":6379})"); }),
            "JSON value at $.address is a number, expected a string");
}

// ---- attributes ----

TEST_F(ServiceTest, AttributesAreReadOnlyListedInOrderAndReadTheDefaultRecordsBeforeAnyWorkerRuns) {
  auto service = harness.create(R"({"address":"127.0.0.1:1"})");
  const std::vector<std::pair<std::string, data::Value>> expected = {
      {"address", std::string("127.0.0.1:1")},
      {"serviceName", std::string("TULOrmantaService")},
      {"commandConnectionError", connectionError(1)},
      {"commandConnectionState", false},
      {"dataConnectionError", connectionError(1)},
      {"dataConnectionState", false},
      {"serviceRegistrationError", registrationError(1)},
      {"isServiceRegistered", false},
      {"error", generalConnectionError(3)},
      {"state", false},
      {"publishingError", connectionError(0)},
      {"primaryAddress", std::string()}};
  std::vector<std::pair<std::string, data::Value>> listed;
  service->forEachAttribute([&](const model::Attribute& a) {
    EXPECT_EQ(a.accessMode(), model::kAccessRead);
    listed.emplace_back(a.name(), tul::test::readAttribute(*service, ServiceAttribute(listed.size())));
    return false;
  });
  EXPECT_TRUE(listed == expected);
  // The texts the host shows before any worker ran.
  EXPECT_EQ(connectionError(1).message(), "the connection is not established yet");
  EXPECT_EQ(generalConnectionError(3).message(),
            "the command connection and the data connection are not established");
  EXPECT_EQ(serviceAttribute(ServiceAttribute::kState).uuid().toString(),
            "9c57a0fe-52ef-44f4-b11a-f98de615c52d");
  EXPECT_EQ(serviceAttribute(ServiceAttribute::kError).uuid(), model::Attribute::kError.uuid);
  EXPECT_EQ(serviceAttribute(ServiceAttribute::kError).roleValue(), model::Attribute::kError.value);
  EXPECT_EQ(serviceAttribute(ServiceAttribute::kDataConnectionError).dataType(), data::DataType::kErrorCode);
  // Nothing about the service can be written, and another element's attribute is not its own.
  EXPECT_EQ(service->attributeWriteHandle(serviceAttribute(ServiceAttribute::kAddress)).write("x"),
            data::HandleError::kNoAttribute);
  auto element = harness.model().addElement({"Boiler", "", {}, {{"Temp", data::NativeType::kDouble}}});
  const model::Attribute temp = *tul::test::attributeNamed(*element, "Temp");
  EXPECT_EQ(service->attributeReadHandle(temp).hardError(), data::HandleError::kNoAttribute);
  EXPECT_FALSE(service->resolveAttributeByUuid(temp.uuid()));
  EXPECT_TRUE(service->resolveAttributeByUuid(serviceAttribute(ServiceAttribute::kState).uuid()));
}

TEST_F(ServiceTest, ListsBothEventsAndTheReconnectTask) {
  auto service = harness.create("{}");
  std::vector<process::Event::Role> roles;
  EXPECT_FALSE(service->forEachEvent([&](process::Event::Role role, const std::shared_ptr<process::Event>&) {
    roles.push_back(role);
    return false;
  }));
  EXPECT_EQ(roles, (std::vector{process::Event::kConnected, process::Event::kDisconnected}));
  EXPECT_TRUE(service->forEachTask([](process::Task::Role role, const std::shared_ptr<process::Task>&) {
    return role == process::Task::kReconnect;
  }));
}

TEST_F(ServiceTest, EventsAndTaskShareTheElementsOwnership) {
  auto service = harness.create("{}");
  std::shared_ptr<process::Event> connected = service->resolveEventByRole(process::Event::kConnected);
  std::shared_ptr<process::Task> task = service->resolveTaskByRole(process::Task::kReconnect);
  ASSERT_EQ(connected.get(), &service->connectedEvent());
  ASSERT_EQ(task.get(), &service->reconnectTask());
  std::weak_ptr<Service> weak = service;
  service.reset();
  EXPECT_FALSE(weak.expired());  // the event and the task keep the element alive
  connected.reset();
  task.reset();
  EXPECT_TRUE(weak.expired());
  weak.reset();  // the storage holds the ownership record too
  EXPECT_EQ(harness.allocator().live(), 0u);
}

// ---- lifecycle ----

TEST_F(ServiceTest, PrepareStartsFourWorkersAndCleanupStopsThemPromptly) {
  auto service = harness.create(tul::test::serviceConfig(tul::test::kClosedAddress));
  const auto running = [&] {
    return service->supervisor()->worker.joinable() + service->registrationHandler()->worker.joinable() +
           service->dataHandler()->worker.joinable() + service->commandHandler()->worker.joinable();
  };
  service->prepare();
  EXPECT_EQ(running(), 4);
  const auto start = std::chrono::steady_clock::now();
  service->cleanup();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(running(), 0);
  // Stopped in the order data, command, registration: each leaves its record on the way out.
  EXPECT_LE(service->dataHandler()->state.timestamp(), service->commandHandler()->state.timestamp());
  EXPECT_LE(service->commandHandler()->state.timestamp(), service->registrationHandler()->state.timestamp());
  // The connection workers leave their "not established" records behind.
  EXPECT_EQ(tul::test::errorAttribute(*service, ServiceAttribute::kDataConnectionError), connectionError(1));
  EXPECT_EQ(tul::test::errorAttribute(*service, ServiceAttribute::kServiceRegistrationError),
            registrationError(1));
  service->cleanup();  // a second cleanup joins nothing
}

TEST_F(ServiceTest, CleanupBeforePrepareAndDestructionWithoutCleanupAreHarmless) {
  auto service = harness.create("{}");
  service->cleanup();
  service->prepare();
  service.reset();  // destruction stops the running workers first
  EXPECT_EQ(harness.allocator().live(), 0u);
  auto unrealized = configured("{}");
  unrealized->cleanup();
  EXPECT_THROW(unrealized->prepare(), std::logic_error);
}

TEST_F(ServiceTest, PreparedAgainWithoutCleanupOrRealizeTheServiceComesUpAgain) {
  tul::test::RedisServer server;
  auto service = harness.create(tul::test::serviceConfig(server.address()));
  const auto up = [&] {
    return tul::test::waitUntil(
        [&] {
          return tul::test::flagAttribute(*service, ServiceAttribute::kState) &&
                 tul::test::flagAttribute(*service, ServiceAttribute::kIsServiceRegistered);
        },
        std::chrono::seconds(10));
  };
  service->prepare();
  ASSERT_TRUE(up());
  service->prepare();  // the running workers are replaced
  EXPECT_TRUE(up()) << "the new workers must connect again";
  service->cleanup();
  service->prepare();
  EXPECT_TRUE(up()) << "after cleanup too, without a new realize";
  service->cleanup();
}

}  // namespace
