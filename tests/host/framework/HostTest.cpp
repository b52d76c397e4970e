// Events, tasks, configuration errors, enumeration texts.

#include <gtest/gtest.h>

#include "ormanta/config/Config.h"
#include "ormanta/data/Types.h"
#include "ormanta/host/Host.h"
#include "ormanta/process/Event.h"
#include "ormanta/process/Task.h"

namespace {

using namespace ormanta;

TEST(EventTest, RaisesAreCountedStampedAndObservedUntilTheObserverIsRemoved) {
  process::Event event;
  EXPECT_EQ(event.raiseCount(), 0u);
  EXPECT_FALSE(event.lastRaised());
  std::vector<utils::chrono::TimePoint> seen;
  const auto id = event.addObserver([&](utils::chrono::TimePoint t) { seen.push_back(t); });
  const utils::chrono::TimePoint t1(utils::chrono::Ticks(100));
  event.raise(t1);
  event.removeObserver(id);
  event.raise(utils::chrono::TimePoint(utils::chrono::Ticks(200)));
  EXPECT_EQ(event.raiseCount(), 2u);
  EXPECT_EQ(event.lastRaised()->time_since_epoch().count(), 200);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], t1);
}

TEST(TaskTest, HostRunsTheStagesInOrder) {
  struct Recorder : process::Task {
    std::string log;
    void preparePreOperational() override { log += "a"; }
    void finishPreOperational() override { log += "b"; }
    void operational() override { log += "c"; }
    void preparePostOperational() override { log += "d"; }
    void finishPostOperational() override { log += "e"; }
  } task;
  host::runTask(task);
  EXPECT_EQ(task.log, "abcde");
}

TEST(ConfigTest, UnknownParameterErrorNamesTheParameter) {
  try {
    config::throwUnknownParameterError("colour");
    FAIL();
  } catch (const config::UnknownParameterError& error) {
    EXPECT_STREQ(error.what(), "unknown configuration parameter \"colour\"");
    EXPECT_EQ(error.parameter(), "colour");
  }
}

TEST(TypesTest, QualityAndCategoryNames) {
  EXPECT_EQ(data::toBasicString(data::Quality::kGood), "Good");
  EXPECT_EQ(data::toBasicString(data::Quality::kNotConnected), "NotConnected");
  EXPECT_EQ(data::toBasicString(data::Quality(9)), "Unknown");
  EXPECT_EQ(model::toBasicString(model::ElementCategory::kGeneric), "Generic");
  EXPECT_EQ(model::toBasicString(model::ElementCategory::kFolder), "Folder");
  EXPECT_EQ(model::toBasicString(model::ElementCategory(16)), "Unknown");
  EXPECT_EQ(data::make_error_code(data::HandleError::kRemoved).message(),
            "the element or attribute no longer exists");
}

TEST(AllocatorTest, CountsLiveStorage) {
  host::CountingAllocator allocator;
  void* p = allocator.allocate(64, 32);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 32, 0u);
  EXPECT_EQ(allocator.live(), 1u);
  allocator.deallocate(p, 64, 32);
  EXPECT_EQ(allocator.live(), 0u);
  EXPECT_EQ(allocator.allocations(), 1u);
}

}  // namespace
