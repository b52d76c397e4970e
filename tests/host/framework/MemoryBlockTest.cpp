// Memory blocks: default records, commits, whole-record reads under concurrent writes,
// change notification.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ormanta/data/Handles.h"
#include "ormanta/host/Host.h"
#include "ormanta/memory/MemoryBlock.h"
#include "ormanta/process/EventHandler.h"

namespace {

using namespace ormanta;

struct Record {
  std::error_code error{7, std::generic_category()};
  bool flag = false;
};

const memory::BlockHandler& recordHandler() {
  static const memory::BlockHandler handler{
      sizeof(Record), alignof(Record),
      [](void* to, const void* from) { *static_cast<Record*>(to) = *static_cast<const Record*>(from); },
      [](void* at) { new (at) Record(); }, [](void* at) { static_cast<Record*>(at)->~Record(); }};
  return handler;
}

TEST(MemoryBlockTest, NewBlockHoldsTheDefaultRecordAndCommitsReplaceIt) {
  auto block = memory::MemoryBlock::create(memory::memoryResources::data(), recordHandler());
  data::ReadHandle error(block.handle(offsetof(Record, error)), data::NativeType::kErrorCode);
  data::ReadHandle flag(block.handle(offsetof(Record, flag)), data::NativeType::kBool);
  EXPECT_EQ(*error.read<std::error_code>(), std::error_code(7, std::generic_category()));
  EXPECT_FALSE(*flag.read<bool>());
  EXPECT_EQ(block.commitCount(), 0u);

  const auto stamp = utils::chrono::now();
  {
    memory::WriteSentinel sentinel(block);
    EXPECT_EQ(sentinel.oldRecord<Record>().error.value(), 7);
    sentinel.newRecord<Record>().flag = true;  // the new record starts as a copy of the old
    sentinel.commit(stamp);
    EXPECT_THROW(sentinel.commit(stamp), std::logic_error);
  }
  EXPECT_TRUE(*flag.read<bool>());
  EXPECT_EQ(error.read<std::error_code>()->value(), 7);
  EXPECT_EQ(block.timestamp(), stamp);
  {
    memory::WriteSentinel dropped(block);
    dropped.newRecord<Record>().flag = false;  // never committed
  }
  EXPECT_TRUE(*flag.read<bool>());
  EXPECT_EQ(flag.read<double>().error(), data::HandleError::kTypeMismatch);
  EXPECT_FALSE(
      data::ReadHandle(block.handle(sizeof(Record)), data::NativeType::kBool).read<bool>());  // outside
  EXPECT_FALSE(data::ReadHandle(memory::MemoryBlock().handle(0), data::NativeType::kBool).read<bool>());
}

TEST(MemoryBlockTest, ReadersNeverSeeATornRecord) {
  auto block = memory::MemoryBlock::create(memory::memoryResources::data(), recordHandler());
  const std::error_code up(1, std::system_category());
  const std::error_code down(2, std::generic_category());
  std::atomic<bool> stop{false};
  std::jthread writer([&] {
    for (int i = 0; !stop.load(); ++i) {
      memory::WriteSentinel sentinel(block);
      auto& record = sentinel.newRecord<Record>();
      record.flag = i % 2 == 0;
      record.error = record.flag ? up : down;
      sentinel.commit(utils::chrono::now());
    }
  });
  data::ReadHandle error(block.handle(offsetof(Record, error)), data::NativeType::kErrorCode);
  for (int i = 0; i < 50000; ++i) {
    Record copy;
    block.copyTo(&copy);
    if (copy.error.value() != 7) {
      ASSERT_EQ(copy.error, copy.flag ? up : down);
    }
    const std::error_code field = *error.read<std::error_code>();
    ASSERT_TRUE(field.value() == 7 || field == up || field == down);
  }
  stop = true;
}

TEST(MemoryBlockTest, CommitsNotifyRegisteredHandlersAndBlocksAreReleased) {
  const auto before = host::dataMemoryUsage();
  {
    auto block = memory::MemoryBlock::create(memory::memoryResources::data(), recordHandler());
    struct Handler : process::EventHandler {
      int changes = 0, batches = 0;
      void onChange() override { ++changes; }
      void afterChanges() override { ++batches; }
    } handler;
    data::ReadHandle flag(block.handle(offsetof(Record, flag)), data::NativeType::kBool);
    ASSERT_FALSE(flag.addChangeHandler(handler));
    memory::WriteSentinel(block).commit(utils::chrono::now());
    EXPECT_EQ(handler.changes, 1);
    EXPECT_EQ(handler.batches, 1);
    flag.removeChangeHandler(handler);
    memory::WriteSentinel(block).commit(utils::chrono::now());
    EXPECT_EQ(handler.changes, 1);
  }
  EXPECT_EQ(host::dataMemoryUsage().liveBlocks, before.liveBlocks);
}

}  // namespace
