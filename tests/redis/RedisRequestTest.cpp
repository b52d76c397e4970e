#include <gtest/gtest.h>

#include <string>

#include "redis/RedisRequest.h"

namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;
using ormanta::plugins::TulService::RedisArgs;
using ormanta::plugins::TulService::RedisRecord;
using ormanta::plugins::TulService::RequestBatch;
using ormanta::plugins::TulService::RequestFormatter;

std::string formatted(RequestFormatter& formatter, const RedisArgs& args) {
  return std::string(formatter.format(args).view());
}

TEST(RequestFormatter, FormatsAnArrayOfBulkStrings) {
  RequestFormatter formatter;
  EXPECT_EQ(formatted(formatter, {"PING"}), "*1\r\n$4\r\nPING\r\n");
  EXPECT_EQ(formatted(formatter, {"HSET", "key", "field", "value"}),
            "*4\r\n$4\r\nHSET\r\n$3\r\nkey\r\n$5\r\nfield\r\n$5\r\nvalue\r\n");
}

TEST(RequestFormatter, PassesAnyBytesByLength) {
  RequestFormatter formatter;
  const std::string binary = "a\0b\r\n"s;
  EXPECT_EQ(formatted(formatter, {"SET", binary, ""}), "*3\r\n$3\r\nSET\r\n$5\r\na\0b\r\n\r\n$0\r\n\r\n"s);
}

TEST(RequestFormatter, ReuseAcrossArgumentCountsGivesFreshRequests) {
  RequestFormatter formatter;
  EXPECT_EQ(formatted(formatter, {"A", "1", "2", "3"}), "*4\r\n$1\r\nA\r\n$1\r\n1\r\n$1\r\n2\r\n$1\r\n3\r\n");
  EXPECT_EQ(formatted(formatter, {"B"}), "*1\r\n$1\r\nB\r\n");
  EXPECT_EQ(formatted(formatter, {"C", "xy"}), "*2\r\n$1\r\nC\r\n$2\r\nxy\r\n");
}

TEST(RequestBatch, ConcatenatesRequestsInOrderAndClears) {
  RequestFormatter formatter;
  RequestBatch batch;
  EXPECT_TRUE(batch.empty());
  batch.append(formatter.format({"PING"}));
  batch.append(formatter.format({"ECHO", "x"}));
  EXPECT_EQ(batch.bytes(), "*1\r\n$4\r\nPING\r\n*2\r\n$4\r\nECHO\r\n$1\r\nx\r\n"sv);
  batch.clear();
  EXPECT_TRUE(batch.empty());
  batch.append(formatter.format({"PING"}));
  EXPECT_EQ(batch.bytes(), "*1\r\n$4\r\nPING\r\n"sv);
}

TEST(RequestBatch, AppendRecordsPutsEachKeyIntoTheHeadAndAppendsItsFields) {
  RequestBatch batch;
  const std::vector<RedisRecord> records = {{"k1", {{"value", "1"}}}, {"k2", {}}, {"k3", {{"value", "\0"s}}}};
  batch.appendRecords({"XADD", {}, "MAXLEN", "~", "100", "*"}, records);
  const std::string head = "$4\r\nXADD\r\n";
  const std::string tail = "$6\r\nMAXLEN\r\n$1\r\n~\r\n$3\r\n100\r\n$1\r\n*\r\n";
  EXPECT_EQ(batch.bytes(), "*8\r\n" + head + "$2\r\nk1\r\n" + tail + "$5\r\nvalue\r\n$1\r\n1\r\n" + "*6\r\n" +
                               head + "$2\r\nk2\r\n" + tail + "*8\r\n" + head + "$2\r\nk3\r\n" + tail +
                               "$5\r\nvalue\r\n$1\r\n\0\r\n"s);
}

}  // namespace
