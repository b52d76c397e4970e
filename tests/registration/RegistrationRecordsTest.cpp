// The registration's JSON records, the stream they are encoded into, the type table and the
// records one run makes of a catalogue. No sockets.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "ormanta/data/Types.h"
#include "ormanta/model/ElementCategory.h"
#include "ormanta/utils/json/Decoder.h"
#include "ormanta/utils/json/Encoder.h"
#include "redis/RedisConnection.h"
#include "registration/RegistrationRecords.h"
#include "registration/RegistrationRun.h"
#include "registration/StringOutputStream.h"
#include "registration/TypeTable.h"
#include "support/Errors.h"

namespace {

using namespace ormanta::plugins::TulService;
using tul::test::messageOf;
namespace decoder = ormanta::utils::json::decoder;
namespace encoder = ormanta::utils::json::encoder;

// The Boiler of the examples: a read-write Bool "On" and a read-only 64-bit Real "Temp".
const MemberList kBoilerMembers = {{"On", 0, 8, 2}, {"Temp", 3, 64, 0}};


// An object's members as name -> text, numbers as their decimal text; fails on anything else.
std::vector<std::pair<std::string, std::string>> membersOf(const decoder::Object& object) {
  std::vector<std::pair<std::string, std::string>> members;
  for (auto cursor = object.begin(); cursor != object.end(); object.step(cursor)) {
    const decoder::Member member = *cursor;
    const decoder::Value& value = member.value();
    if (value.kind() == decoder::Kind::kNumber) {
      members.emplace_back(member.name(), std::to_string(value.asUInt64()));
    } else {
      members.emplace_back(member.name(), std::string(value.asString().view()));
    }
  }
  return members;
}

using Members = std::vector<std::pair<std::string, std::string>>;

// ---- StringOutputStream ----

TEST(StringOutputStreamTest, DescribesItsDevice) {
  StringOutputStream stream;
  EXPECT_EQ(stream.deviceDescription(), "in-memory text string");
}

TEST(StringOutputStreamTest, NothingWrittenGivesTheEmptyText) {
  StringOutputStream stream;
  EXPECT_EQ(stream.size(), 0u);
  EXPECT_EQ(stream.take(), "");
}

TEST(StringOutputStreamTest, TextThatOutgrowsTheWindowSeveralTimesHoldsExactlyTheBytesWritten) {
  StringOutputStream stream;
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    const char c = static_cast<char>('a' + i % 26);
    stream.put(c);
    expected += c;
    ASSERT_EQ(stream.size(), expected.size());
  }
  const std::string text = stream.take();
  EXPECT_EQ(text, expected);
  EXPECT_EQ(text.find('\0'), std::string::npos);
}

TEST(StringOutputStreamTest, LargeBlocksGoDirectAndWritingGoesOnAfterThem) {
  StringOutputStream stream;
  const std::string head = "0123456789";
  const std::string block(300, 'x');  // past the base's direct-write threshold
  const std::string tail = "tail after the direct block";
  stream.write(head.data(), head.size());
  stream.write(block.data(), block.size());
  EXPECT_EQ(stream.size(), head.size() + block.size());
  stream.write(tail.data(), tail.size());
  stream.put('!');
  EXPECT_EQ(stream.take(), head + block + tail + "!");
}

TEST(StringOutputStreamTest, ZeroBytesWrittenArePartOfTheText) {
  StringOutputStream stream;
  const std::string text("a\0b\0", 4);
  stream.write(text.data(), text.size());
  EXPECT_EQ(stream.take(), text);
}

TEST(StringOutputStreamTest, CapacityHintChangesNothingButTheStorage) {
  StringOutputStream hinted(64);
  StringOutputStream plain;
  const std::string text(100, 'q');
  for (const char c : text) {
    hinted.put(c);
    plain.put(c);
  }
  EXPECT_EQ(hinted.take(), text);
  EXPECT_EQ(plain.take(), text);
}

TEST(StringOutputStreamTest, TakeStartsTheStreamAfresh) {
  StringOutputStream stream;
  stream.write("first record", 12);
  EXPECT_EQ(stream.take(), "first record");
  stream.write("second", 6);
  EXPECT_EQ(stream.take(), "second");
}

TEST(StringOutputStreamTest, RecordLongerThanFifteenBytesEncodesWithoutTrailingZeroBytes) {
  StringOutputStream stream;
  encoder::Document document(stream, kRecordFormat);
  encoder::Array root = document.asArray();
  for (int i = 0; i < 50; ++i) root.addStringView("entry");
  root.close();
  document.close();
  const std::string text = stream.take();
  std::string expected = "[";
  for (int i = 0; i < 50; ++i) expected += i == 0 ? "\"entry\"" : ",\"entry\"";
  expected += "]";
  EXPECT_EQ(text, expected);
}

// ---- service and enumeration type records ----

TEST(RecordTextTest, ServiceRecordOfServiceA) {
  EXPECT_EQ(encodeServiceRecord("A.DataPoints", "A.DataTypes", "A.Commands"),
            R"({"dataPointsKey":"A.DataPoints","dataTypesKey":"A.DataTypes","cmdChn":"A.Commands"})");
}

TEST(RecordTextTest, ServiceRecordParsesBackMemberByMember) {
  const auto document = decoder::Document::parse(encodeServiceRecord("p\"1", "t\\2", "c\n3"));
  EXPECT_EQ(membersOf(document.root().asObject()),
            (Members{{"dataPointsKey", "p\"1"}, {"dataTypesKey", "t\\2"}, {"cmdChn", "c\n3"}}));
}

TEST(RecordTextTest, QualityEnumerationListsTheHostsFourTextsInValueOrder) {
  EXPECT_EQ(encodeEnumerationTypeRecord(qualityNames()),
            R"({"enumValues":["Good","Uncertain","Bad","NotConnected"]})");
}

TEST(RecordTextTest, ElementCategoryEnumerationListsTheHostsSixteenTextsInValueOrder) {
  const auto document = decoder::Document::parse(encodeEnumerationTypeRecord(elementCategoryNames()));
  const decoder::Object root = document.root().asObject();
  ASSERT_EQ(root.size(), 1u);
  const decoder::Array values = root.find("enumValues")->asArray();
  ASSERT_EQ(values.size(), 16u);
  for (std::size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(values.at(i).asString().view(),
              ormanta::model::toBasicString(static_cast<ormanta::model::ElementCategory>(i)));
  }
  EXPECT_EQ(values.at(0).asString().view(), "Generic");
  EXPECT_EQ(values.at(15).asString().view(), "Folder");
}

// ---- structure type and data point records ----

TEST(RecordTextTest, BoilerStructureTypeAndDataPoint) {
  const StructureTypeRecord type = encodeStructureTypeRecord(kBoilerMembers);
  EXPECT_EQ(type.text,
            R"([{"name":".On","type":"Bool","size":8,"access":"b","updateChn":".On"},)"
            R"({"name":".Temp","type":"Real","size":64,"access":"r","updateChn":".Temp"}])");
  EXPECT_EQ(type.totalSize, 72u);
  EXPECT_EQ(encodeDataPointRecord("TULOrmantaService.Boiler", "t_1", type.totalSize,
                                  "TULOrmantaServiceValue:TULOrmantaService.Boiler"),
            R"({"name":"TULOrmantaService.Boiler","type":"t_1","size":72,"access":"b",)"
            R"("updateChn":"TULOrmantaServiceValue:TULOrmantaService.Boiler"})");
}

TEST(RecordTextTest, StructureTypeParsesBackMemberByMemberForEveryTypeAndAccess) {
  const MemberList members = {{"b", 0, 1, 0},   {"i", 1, 32, 1},   {"u", 2, 16, 2},  {"r", 3, 64, 0},
                              {"s", 4, 0, 1},   {"n", 7, 0, 2},    {"t", 9, 64, 0},  {"g", 10, 128, 0},
                              {"q", 11, 8, 0},  {"c", 12, 8, 0},   {"e", 13, 64, 0}, {"quote\"d", 8, 0, 2}};
  const StructureTypeRecord type = encodeStructureTypeRecord(members);
  const std::vector<Members> expected = {
      {{"name", ".b"}, {"type", "Bool"}, {"size", "8"}, {"access", "r"}, {"updateChn", ".b"}},
      {{"name", ".i"}, {"type", "Int"}, {"size", "32"}, {"access", "w"}, {"updateChn", ".i"}},
      {{"name", ".u"}, {"type", "UInt"}, {"size", "16"}, {"access", "b"}, {"updateChn", ".u"}},
      {{"name", ".r"}, {"type", "Real"}, {"size", "64"}, {"access", "r"}, {"updateChn", ".r"}},
      {{"name", ".s"}, {"type", "String"}, {"size", "524288"}, {"access", "w"}, {"updateChn", ".s"}},
      {{"name", ".n"}, {"type", "String"}, {"size", "524288"}, {"access", "b"}, {"updateChn", ".n"}},
      {{"name", ".t"}, {"type", "String"}, {"size", "46"}, {"access", "r"}, {"updateChn", ".t"}},
      {{"name", ".g"}, {"type", "String"}, {"size", "36"}, {"access", "r"}, {"updateChn", ".g"}},
      {{"name", ".q"}, {"type", "String"}, {"size", "80"}, {"access", "r"}, {"updateChn", ".q"}},
      {{"name", ".c"}, {"type", "String"}, {"size", "144"}, {"access", "r"}, {"updateChn", ".c"}},
      {{"name", ".e"}, {"type", "String"}, {"size", "524288"}, {"access", "r"}, {"updateChn", ".e"}},
      {{"name", ".quote\"d"}, {"type", "String"}, {"size", "524288"}, {"access", "b"}, {"updateChn", ".quote\"d"}},
  };
  const auto document = decoder::Document::parse(type.text);
  const decoder::Array root = document.root().asArray();
  ASSERT_EQ(root.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(membersOf(root.at(i).asObject()), expected[i]) << i;
  EXPECT_EQ(type.totalSize, 8u + 32 + 16 + 64 + 524288 + 524288 + 46 + 36 + 80 + 144 + 524288 + 524288);
}

TEST(RecordTextTest, EmptyMemberListIsAnEmptyArrayOfSizeZero) {
  const StructureTypeRecord type = encodeStructureTypeRecord({});
  EXPECT_EQ(type.text, "[]");
  EXPECT_EQ(type.totalSize, 0u);
}

TEST(RecordTextTest, DataPointRecordParsesBackMemberByMember) {
  const auto document =
      decoder::Document::parse(encodeDataPointRecord("S.Tank", "t_12", 18446744073709551615u, "SValue:S.Tank"));
  EXPECT_EQ(membersOf(document.root().asObject()), (Members{{"name", "S.Tank"},
                                                            {"type", "t_12"},
                                                            {"size", "18446744073709551615"},
                                                            {"access", "b"},
                                                            {"updateChn", "SValue:S.Tank"}}));
}

TEST(RecordTextTest, MemberThatCannotBeDescribedFailsTheRecord) {
  EXPECT_EQ(messageOf<std::invalid_argument>([] { encodeStructureTypeRecord({{"ok", 0, 8, 0}, {"x", 16, 0, 0}}); }),
            "Unsupported native type");
  EXPECT_EQ(messageOf<std::runtime_error>([] { encodeStructureTypeRecord({{"x", 0, 8, 3}}); }),
            "Unknown access modifier");
  // The type is described before the access letter.
  EXPECT_EQ(messageOf<std::invalid_argument>([] { encodeStructureTypeRecord({{"x", 14, 0, 9}}); }),
            "Unsupported native type");
}

// ---- TypeTable ----

TEST(TypeTableTest, StartsEmptyWithEightBucketsAndLoadFactorOne) {
  TypeTable table;
  EXPECT_TRUE(table.empty());
  EXPECT_GE(table.bucket_count(), 8u);
  EXPECT_FLOAT_EQ(table.max_load_factor(), 1.0f);
  DataPointCatalogue catalogue;
  EXPECT_GE(catalogue.bucket_count(), 8u);
  EXPECT_FLOAT_EQ(catalogue.max_load_factor(), 1.0f);
}

TEST(TypeTableTest, EqualListsAreOneKeyAndAnyDifferentFieldOrOrderMakesAnother) {
  TypeTable table;
  table[kBoilerMembers].typeName = "t_1";
  MemberList same = kBoilerMembers;
  EXPECT_EQ(MemberListHash{}(same), MemberListHash{}(kBoilerMembers));
  EXPECT_EQ(table.at(same).typeName, "t_1");

  std::vector<MemberList> others(6, kBoilerMembers);
  others[0][1].name = "Temp2";
  others[1][1].nativeType = 1;
  others[2][1].bitSize = 32;
  others[3][1].access = 2;
  others[4].pop_back();
  std::swap(others[5][0], others[5][1]);
  for (const MemberList& other : others) EXPECT_FALSE(table.contains(other));
  std::set<std::size_t> hashes;
  for (const MemberList& other : others) hashes.insert(MemberListHash{}(other));
  hashes.insert(MemberListHash{}(kBoilerMembers));
  EXPECT_EQ(hashes.size(), others.size() + 1) << "no collisions among lists this close";
}

// ---- the records of one run ----

// A run that is only asked to encode: its connection is never opened.
class RunRecordsTest : public ::testing::Test {
 protected:
  RedisConnection connection{"127.0.0.1:1"};
};

struct SentRecord {
  std::string key;
  std::string field;
  std::string value;
};

std::vector<SentRecord> flatten(const std::vector<RedisRecord>& records) {
  std::vector<SentRecord> flat;
  for (const RedisRecord& record : records) {
    EXPECT_EQ(record.fields.size(), 1u);
    for (const auto& [field, value] : record.fields) flat.push_back({record.key, field, value});
  }
  return flat;
}

TEST_F(RunRecordsTest, KeysAreFormedFromTheServiceName) {
  const RegistrationRun run(connection, "A");
  EXPECT_EQ(run.serviceName, "A");
  EXPECT_EQ(run.servicesKey, "Services");
  EXPECT_EQ(run.dataPointsKey, "A.DataPoints");
  EXPECT_EQ(run.dataTypesKey, "A.DataTypes");
  EXPECT_EQ(run.commandStreamKey, "A.Commands");
  EXPECT_EQ(run.valueStreamPrefix, "AValue");
  EXPECT_EQ(run.nextTypeNumber, 1);
  EXPECT_TRUE(run.typeTable.empty());
}

TEST_F(RunRecordsTest, DataPointsWithEqualMembersShareOneTypeWrittenBeforeThem) {
  RegistrationRun run(connection, "TULOrmantaService");
  DataPointCatalogue catalogue;
  catalogue["TULOrmantaService.Boiler"] = kBoilerMembers;
  catalogue["TULOrmantaService.Pump"] = kBoilerMembers;
  const auto records = flatten(run.encodeDataPoints(catalogue));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].key, "TULOrmantaService.DataTypes");
  EXPECT_EQ(records[0].field, "t_1");
  EXPECT_EQ(records[0].value, encodeStructureTypeRecord(kBoilerMembers).text);
  std::set<std::string> dataPoints;
  for (std::size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(records[i].key, "TULOrmantaService.DataPoints");
    dataPoints.insert(records[i].field);
    EXPECT_EQ(records[i].value, encodeDataPointRecord(records[i].field, "t_1", 72,
                                                      "TULOrmantaServiceValue:" + records[i].field));
  }
  EXPECT_EQ(dataPoints, (std::set<std::string>{"TULOrmantaService.Boiler", "TULOrmantaService.Pump"}));
  EXPECT_EQ(run.typeTable.size(), 1u);
  EXPECT_EQ(run.nextTypeNumber, 2);
}

TEST_F(RunRecordsTest, OneDifferentAccessModeMakesItsOwnType) {
  RegistrationRun run(connection, "S");
  MemberList writable = kBoilerMembers;
  writable[1].access = 2;
  DataPointCatalogue catalogue;
  catalogue["S.Boiler"] = kBoilerMembers;
  catalogue["S.Other"] = writable;
  std::map<std::string, std::string> typeOf;
  std::map<std::string, std::string> typeRecords;
  for (const auto& record : flatten(run.encodeDataPoints(catalogue))) {
    if (record.key == "S.DataTypes") {
      typeRecords[record.field] = record.value;
    } else {
      typeOf[record.field] = decoder::Document::parse(record.value).root().asObject().find("type")->asString().view();
    }
  }
  ASSERT_EQ(typeRecords.size(), 2u);
  EXPECT_NE(typeOf["S.Boiler"], typeOf["S.Other"]);
  EXPECT_EQ(typeRecords[typeOf["S.Boiler"]], encodeStructureTypeRecord(kBoilerMembers).text);
  EXPECT_EQ(typeRecords[typeOf["S.Other"]], encodeStructureTypeRecord(writable).text);
}

TEST_F(RunRecordsTest, DataPointsWithoutMembersShareOneEmptyTypeOfSizeZero) {
  RegistrationRun run(connection, "S");
  DataPointCatalogue catalogue;
  for (const char* name : {"S.A", "S.B", "S.C"}) catalogue[name] = {};
  const auto records = flatten(run.encodeDataPoints(catalogue));
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].key, "S.DataTypes");
  EXPECT_EQ(records[0].field, "t_1");
  EXPECT_EQ(records[0].value, "[]");
  for (std::size_t i = 1; i < records.size(); ++i) {
    EXPECT_EQ(records[i].value, encodeDataPointRecord(records[i].field, "t_1", 0, "SValue:" + records[i].field));
  }
}

TEST_F(RunRecordsTest, TypesAreNumberedFromOneInTheCatalogueOrderAndEachPrecedesItsFirstUse) {
  RegistrationRun run(connection, "S");
  DataPointCatalogue catalogue;
  for (int i = 0; i < 10; ++i) {
    // Two data points per list, so that later ones reuse a type already written.
    const MemberList members = {{"m", 1, 8 << (i % 4), i % 3}, {std::string(i / 4 + 1, 'x'), 0, 8, 0}};
    catalogue["S.P" + std::to_string(i)] = members;
    catalogue["S.Q" + std::to_string(i)] = members;
  }
  std::vector<std::string> order;
  for (const auto& entry : catalogue) order.push_back(entry.first);

  const auto records = flatten(run.encodeDataPoints(catalogue));
  ASSERT_EQ(records.size(), 30u);
  std::vector<std::string> dataPointOrder;
  std::vector<std::string> typeNames;
  std::set<std::string> written;
  for (const auto& record : records) {
    if (record.key == "S.DataTypes") {
      typeNames.push_back(record.field);
      written.insert(record.field);
      continue;
    }
    dataPointOrder.push_back(record.field);
    const std::string type(
        decoder::Document::parse(record.value).root().asObject().find("type")->asString().view());
    EXPECT_TRUE(written.contains(type)) << record.field << " names " << type << " before it was written";
  }
  EXPECT_EQ(dataPointOrder, order);
  const std::vector<std::string> expectedTypes = {"t_1", "t_2", "t_3", "t_4", "t_5",
                                                  "t_6", "t_7", "t_8", "t_9", "t_10"};
  EXPECT_EQ(typeNames, expectedTypes);
  EXPECT_EQ(run.nextTypeNumber, 11);
  EXPECT_EQ(run.typeTable.size(), 10u);
}

TEST_F(RunRecordsTest, EmptyCatalogueGivesNoRecords) {
  RegistrationRun run(connection, "S");
  DataPointCatalogue catalogue;
  EXPECT_TRUE(run.encodeDataPoints(catalogue).empty());
  EXPECT_EQ(run.nextTypeNumber, 1);
}

TEST_F(RunRecordsTest, MemberThatCannotBeDescribedFailsTheWholeEncoding) {
  RegistrationRun run(connection, "S");
  DataPointCatalogue catalogue;
  catalogue["S.Good"] = kBoilerMembers;
  catalogue["S.Bad"] = {{"future", 16, 0, 0}};
  EXPECT_EQ(messageOf<std::invalid_argument>([&] { run.encodeDataPoints(catalogue); }), "Unsupported native type");
}

}  // namespace
