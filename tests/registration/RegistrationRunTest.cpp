// A registration run's Redis traffic against a private redis-server: what it clears, what it
// writes, and what a failure leaves behind.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "ormanta/utils/io/StopSource.h"
#include "redis/RedisConnection.h"
#include "registration/RegistrationRecords.h"
#include "registration/RegistrationRun.h"
#include "support/RedisClient.h"
#include "support/Errors.h"
#include "support/RedisSuite.h"

namespace {

using namespace ormanta::plugins::TulService;
using Hash = std::map<std::string, std::string>;
using tul::test::RedisClient;
using tul::test::RedisServer;

const MemberList kBoilerMembers = {{"On", 0, 8, 2}, {"Temp", 3, 64, 0}};
using tul::test::messageOf;

class RegistrationRunTest : public tul::test::RedisSuite {
 protected:
  long long calls(const std::string& command) {
    const auto stats = client->commandStats();
    const auto found = stats.find(command);
    return found == stats.end() ? 0 : found->second;
  }

  Hash enumerationTypesOnly() const {
    return {{"e_quality", encodeEnumerationTypeRecord(qualityNames())},
            {"e_elementCategory", encodeEnumerationTypeRecord(elementCategoryNames())}};
  }
};

TEST_F(RegistrationRunTest, ClearRemovesOnlyTheServicesOwnFieldAndKeys) {
  client->command({"HSET", "Services", "S", "old", "Other", "kept"});
  client->command({"HSET", "S.DataPoints", "S.Old", "{}"});
  client->command({"HSET", "S.DataTypes", "t_1", "[]"});
  client->command({"XADD", "S.Commands", "*", "cmd", "set"});
  client->command({"HSET", "Other.DataPoints", "Other.X", "{}"});
  RegistrationRun run(*connection, "S");
  run.clearPreviousRegistration();
  EXPECT_EQ(client->hgetall("Services"), (Hash{{"Other", "kept"}}));
  EXPECT_FALSE(client->exists("S.DataPoints"));
  EXPECT_FALSE(client->exists("S.DataTypes"));
  EXPECT_FALSE(client->exists("S.Commands"));
  EXPECT_TRUE(client->exists("Other.DataPoints"));
}

TEST_F(RegistrationRunTest, ClearOfAServiceNeverRegisteredChangesNothing) {
  RegistrationRun run(*connection, "S");
  EXPECT_NO_THROW(run.clearPreviousRegistration());
  EXPECT_EQ(client->integer({"DBSIZE"}), 0);
}

TEST_F(RegistrationRunTest, ErrorRepliesToTheClearGoUnnoticed) {
  client->str({"SET", "Services", "not a hash"});
  RegistrationRun run(*connection, "S");
  EXPECT_NO_THROW(run.clearPreviousRegistration());
  EXPECT_EQ(client->str({"GET", "Services"}), "not a hash");
}

TEST_F(RegistrationRunTest, ServiceRecordAndEnumerationTypesAreWritten) {
  RegistrationRun run(*connection, "A");
  run.writeServiceRecord();
  run.writeEnumerationTypes();
  EXPECT_EQ(client->hgetall("Services"),
            (Hash{{"A", R"({"dataPointsKey":"A.DataPoints","dataTypesKey":"A.DataTypes","cmdChn":"A.Commands"})"}}));
  EXPECT_EQ(client->hgetall("A.DataTypes"), enumerationTypesOnly());
  EXPECT_EQ(calls("hset"), 3);
}

TEST_F(RegistrationRunTest, ErrorReplyToTheServiceRecordThrowsTheServersText) {
  client->str({"SET", "Services", "not a hash"});
  RegistrationRun run(*connection, "S");
  EXPECT_EQ(messageOf<std::runtime_error>([&] { run.writeServiceRecord(); }),
            "WRONGTYPE Operation against a key holding the wrong kind of value");
}

TEST_F(RegistrationRunTest, DataPointsAndTheirTypeGoOutInOneBatch) {
  RegistrationRun run(*connection, "TULOrmantaService");
  DataPointCatalogue catalogue;
  catalogue["TULOrmantaService.Boiler"] = kBoilerMembers;
  catalogue["TULOrmantaService.Pump"] = kBoilerMembers;
  run.writeDataPoints(catalogue);
  EXPECT_EQ(client->hgetall("TULOrmantaService.DataTypes"),
            (Hash{{"t_1", R"([{"name":".On","type":"Bool","size":8,"access":"b","updateChn":".On"},)"
                          R"({"name":".Temp","type":"Real","size":64,"access":"r","updateChn":".Temp"}])"}}));
  EXPECT_EQ(client->hgetall("TULOrmantaService.DataPoints"),
            (Hash{{"TULOrmantaService.Boiler",
                   R"({"name":"TULOrmantaService.Boiler","type":"t_1","size":72,"access":"b",)"
                   R"("updateChn":"TULOrmantaServiceValue:TULOrmantaService.Boiler"})"},
                  {"TULOrmantaService.Pump",
                   R"({"name":"TULOrmantaService.Pump","type":"t_1","size":72,"access":"b",)"
                   R"("updateChn":"TULOrmantaServiceValue:TULOrmantaService.Pump"})"}}));
  EXPECT_EQ(calls("hset"), 3);
}

TEST_F(RegistrationRunTest, EmptyCatalogueSendsNoHset) {
  RegistrationRun run(*connection, "S");
  DataPointCatalogue catalogue;
  run.writeDataPoints(catalogue);
  EXPECT_EQ(calls("hset"), 0);
  EXPECT_EQ(connection->ping(), "PONG") << "no reply left pending";
}

TEST_F(RegistrationRunTest, MemberThatCannotBeDescribedSendsNothingOfTheBatch) {
  RegistrationRun run(*connection, "S");
  run.clearPreviousRegistration();
  run.writeServiceRecord();
  run.writeEnumerationTypes();
  DataPointCatalogue catalogue;
  catalogue["S.Good"] = kBoilerMembers;
  catalogue["S.Bad"] = {{"odd", 0, 8, 7}};
  EXPECT_EQ(messageOf<std::runtime_error>([&] { run.writeDataPoints(catalogue); }), "Unknown access modifier");
  EXPECT_FALSE(client->exists("S.DataPoints"));
  EXPECT_EQ(client->hgetall("S.DataTypes"), enumerationTypesOnly());
  EXPECT_EQ(calls("hset"), 3);
}

}  // namespace
