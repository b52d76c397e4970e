// The service element as the host sees it: configuration, lifecycle, attributes, events,
// the reconnect task.

#include <chrono>

#include <gtest/gtest.h>

#include "ormanta/config/Config.h"
#include "ormanta/host/Host.h"
#include "support/RedisServer.h"
#include "support/ServiceHarness.h"
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

TEST_F(ServiceTest, ConfigurationReadsBothKeysWithDefaultsAndTheLastValueOfARepeatedKey) {
  auto service = configured(R"({"address":"redis.local:7000","serviceName":"Plant"})");
  EXPECT_EQ(service->address, "redis.local:7000");
  EXPECT_EQ(service->serviceName, "Plant");
  EXPECT_EQ(configured("{}")->serviceName, "TULOrmantaService");
  service = configured(R"({"serviceName":"","address":""})");
  EXPECT_EQ(service->serviceName, "TULOrmantaService");
  EXPECT_EQ(service->address, "");
  EXPECT_EQ(configured(R"({"serviceName":"First","address":"a","serviceName":"Second"})")->serviceName, "Second");
  EXPECT_EQ(configured(R"({"serviceName":"a\"b\u0000c"})")->serviceName, std::string("a\"b\0c", 5));
}

TEST_F(ServiceTest, UnknownKeyFailsNamingTheKeyAndChangesNothing) {
  auto service = configured(R"({"serviceName":"Kept"})");
  auto bad = utils::json::decoder::Document::parse(R"({"serviceName":"New","port":6379})");
  try {
    service->loadConfiguration(bad.root().asObject(), config::Context());
    FAIL();
  } catch (const config::UnknownParameterError& error) {
    EXPECT_EQ(error.parameter(), "port");
  }
  EXPECT_EQ(service->serviceName, "Kept");
}

TEST_F(ServiceTest, NonStringValueOrNonObjectConfigurationGetsTheDecodersError) {
  try {
    configured(R"({"address":6379})");
    FAIL();
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "JSON value at $.address is a number, expected a string");
  }
  EXPECT_THROW(utils::json::decoder::Document::parse("[1]").root().asObject(), std::invalid_argument);
}

// ---- attributes ----

TEST_F(ServiceTest, AttributesReadTheDefaultRecordsBeforeAnyWorkerRuns) {
  auto service = harness.create(R"({"address":"127.0.0.1:1"})");
  using A = ServiceAttribute;
  EXPECT_EQ(std::get<std::string>(tul::test::readAttribute(*service, A::kAddress)), "127.0.0.1:1");
  EXPECT_EQ(std::get<std::string>(tul::test::readAttribute(*service, A::kServiceName)), "TULOrmantaService");
  EXPECT_EQ(tul::test::errorAttribute(*service, A::kCommandConnectionError), connectionError(1));
  EXPECT_FALSE(tul::test::flagAttribute(*service, A::kCommandConnectionState));
  EXPECT_EQ(tul::test::errorAttribute(*service, A::kDataConnectionError), connectionError(1));
  EXPECT_FALSE(tul::test::flagAttribute(*service, A::kDataConnectionState));
  EXPECT_EQ(tul::test::errorAttribute(*service, A::kServiceRegistrationError).message(),
            "the service registration is pending");
  EXPECT_FALSE(tul::test::flagAttribute(*service, A::kIsServiceRegistered));
  EXPECT_EQ(tul::test::errorAttribute(*service, A::kError), generalConnectionError(3));
  EXPECT_FALSE(tul::test::flagAttribute(*service, A::kState));
}

TEST_F(ServiceTest, AttributesAreListedInOrderReadOnlyWithTheirUuids) {
  auto service = harness.create("{}");
  std::vector<std::string> names;
  service->forEachAttribute([&](const model::Attribute& a) {
    EXPECT_EQ(a.accessMode(), model::kAccessRead);
    names.push_back(a.name());
    return false;
  });
  EXPECT_EQ(names, (std::vector<std::string>{"address", "serviceName", "commandConnectionError",
                                             "commandConnectionState", "dataConnectionError", "dataConnectionState",
                                             "serviceRegistrationError", "isServiceRegistered", "error", "state"}));
  EXPECT_EQ(serviceAttribute(ServiceAttribute::kState).uuid().toString(), "9c57a0fe-52ef-44f4-b11a-f98de615c52d");
  EXPECT_EQ(serviceAttribute(ServiceAttribute::kError).uuid(), model::Attribute::kError.uuid);
  EXPECT_EQ(serviceAttribute(ServiceAttribute::kError).roleValue(), model::Attribute::kError.value);
  EXPECT_EQ(serviceAttribute(ServiceAttribute::kDataConnectionError).dataType(), data::DataType::kErrorCode);
  // Nothing about the service can be written.
  EXPECT_EQ(service->attributeWriteHandle(serviceAttribute(ServiceAttribute::kAddress)).write("x"),
            data::HandleError::kNoAttribute);
}

TEST_F(ServiceTest, EnumerationsStopAtTheFirstCallbackReturningTrue) {
  auto service = harness.create("{}");
  int calls = 0;
  EXPECT_TRUE(service->forEachAttribute([&](const model::Attribute&) { return ++calls == 3; }));
  EXPECT_EQ(calls, 3);

  std::vector<process::Event::Role> roles;
  EXPECT_TRUE(service->forEachEvent([&](process::Event::Role role, const std::shared_ptr<process::Event>&) {
    roles.push_back(role);
    return true;
  }));
  EXPECT_EQ(roles, std::vector<process::Event::Role>{process::Event::kConnected});
  roles.clear();
  EXPECT_FALSE(service->forEachEvent([&](process::Event::Role role, const std::shared_ptr<process::Event>&) {
    roles.push_back(role);
    return false;
  }));
  EXPECT_EQ(roles, (std::vector<process::Event::Role>{process::Event::kConnected, process::Event::kDisconnected}));
  EXPECT_TRUE(service->forEachTask([](process::Task::Role role, const std::shared_ptr<process::Task>&) {
    return role == process::Task::kReconnect;
  }));
  // The two host queries.
  EXPECT_EQ(service->queryExtension(utils::core::Uuid::generateRandom()), nullptr);
  EXPECT_EQ(service->interfaceRevision(), 14);
}

TEST_F(ServiceTest, EventsAndTaskShareTheElementsOwnership) {
  auto service = harness.create("{}");
  std::shared_ptr<process::Event> connected = service->resolveEventByRole(process::Event::kConnected);
  std::shared_ptr<process::Task> task = service->resolveTaskByRole(process::Task::kReconnect);
  ASSERT_EQ(connected.get(), &service->connectedEvent);
  ASSERT_EQ(task.get(), &service->reconnectTask);
  std::weak_ptr<Service> weak = service;
  service.reset();
  EXPECT_FALSE(weak.expired());  // the event and the task keep the element alive
  connected.reset();
  task.reset();
  EXPECT_TRUE(weak.expired());
  weak.reset();  // the storage holds the ownership record too
  EXPECT_EQ(harness.allocator().live(), 0u);
}

TEST_F(ServiceTest, ForeignAttributeHasNoReadHandle) {
  auto service = harness.create("{}");
  auto element = harness.model().addElement({"Boiler", "", {}, {{"Temp", data::NativeType::kDouble}}});
  std::optional<model::Attribute> temp;
  element->forEachAttribute([&](const model::Attribute& a) { return a.name() == "Temp" ? (temp = a, true) : false; });
  EXPECT_EQ(service->attributeReadHandle(*temp).hardError(), data::HandleError::kNoAttribute);
  EXPECT_FALSE(service->resolveAttributeByUuid(temp->uuid()));
  EXPECT_TRUE(service->resolveAttributeByUuid(serviceAttribute(ServiceAttribute::kState).uuid()));
}

// ---- lifecycle ----

TEST_F(ServiceTest, PrepareStartsFourWorkersAndCleanupStopsThemPromptly) {
  auto service = harness.create(tul::test::serviceConfig(tul::test::kClosedAddress));
  service->prepare();
  EXPECT_TRUE(service->supervisor->worker.joinable());
  EXPECT_TRUE(service->registrationHandler->worker.joinable());
  EXPECT_TRUE(service->dataHandler->worker.joinable());
  EXPECT_TRUE(service->commandHandler->worker.joinable());
  const auto start = std::chrono::steady_clock::now();
  service->cleanup();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  // Stopped in the order data, command, registration: each leaves its record on the way out.
  EXPECT_LE(service->dataHandler->state.timestamp(), service->commandHandler->state.timestamp());
  EXPECT_LE(service->commandHandler->state.timestamp(), service->registrationHandler->state.timestamp());
  EXPECT_FALSE(service->supervisor->worker.joinable());
  EXPECT_FALSE(service->registrationHandler->worker.joinable());
  EXPECT_FALSE(service->dataHandler->worker.joinable());
  EXPECT_FALSE(service->commandHandler->worker.joinable());
  // The connection workers leave their "not established" records behind.
  EXPECT_EQ(tul::test::errorAttribute(*service, ServiceAttribute::kDataConnectionError), connectionError(1));
  EXPECT_EQ(tul::test::errorAttribute(*service, ServiceAttribute::kServiceRegistrationError), registrationError(1));
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

TEST_F(ServiceTest, ServiceCanBePreparedAgainAfterCleanup) {
  auto service = harness.create(tul::test::serviceConfig(tul::test::kClosedAddress));
  service->prepare();
  service->cleanup();
  EXPECT_TRUE(service->ioStopSource.stopRequested());
  service->realize();
  service->prepare();
  EXPECT_FALSE(service->ioStopSource.stopRequested());
  service->cleanup();
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

// ---- reconnect task ----

TEST_F(ServiceTest, ReconnectTaskRequestsConnectionsFromIdleOnly) {
  auto service = harness.create("{}");
  auto& data = *service->dataHandler;
  auto& command = *service->commandHandler;
  EXPECT_EQ(data.phase, kPhaseConnectRequested);  // the data connection is requested at once
  EXPECT_EQ(command.phase, kPhaseIdle);

  data.phase = kPhaseIdle;
  host::runTask(service->reconnectTask);
  EXPECT_EQ(data.phase, kPhaseConnectRequested);
  EXPECT_EQ(command.phase, kPhaseIdle);  // the data connection is not up yet

  data.phase = kPhaseConnected;
  host::runTask(service->reconnectTask);
  EXPECT_EQ(data.phase, kPhaseConnected);
  EXPECT_EQ(command.phase, kPhaseConnectRequested);

  command.phase = kPhaseConnected;
  host::runTask(service->reconnectTask);
  EXPECT_EQ(command.phase, kPhaseConnected);
}

}  // namespace
