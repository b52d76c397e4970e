// Events: counts, stamps and observers.

#include <gtest/gtest.h>

#include "ormanta/process/Event.h"

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

}  // namespace
