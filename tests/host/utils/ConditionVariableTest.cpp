#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ormanta/utils/lockFree/ConditionVariable.h"

// A lost notification shows up as a hang, which the test's ctest time-out reports.

namespace {

using ormanta::utils::lockFree::ConditionVariable;

// Two threads hand a counter back and forth with the check-then-wait loop; the yields make the
// other side's notification often land between a check and the wait after it.
TEST(ConditionVariableTest, NoNotificationLostBetweenCheckAndWait) {
  constexpr int kRounds = 100000;
  ConditionVariable toConsumer;
  ConditionVariable toProducer;
  std::atomic<int> produced{0};
  std::atomic<int> consumed{0};
  std::thread consumer([&] {
    ConditionVariable::Tracker tracker(toConsumer);
    for (int round = 1; round <= kRounds; ++round) {
      while (produced.load() != round) {
        if (round % 3 == 0) std::this_thread::yield();
        toConsumer.wait(tracker);
      }
      consumed.store(round);
      toProducer.notify_all();
    }
  });
  ConditionVariable::Tracker tracker(toProducer);
  for (int round = 1; round <= kRounds; ++round) {
    produced.store(round);
    toConsumer.notify_all();
    while (consumed.load() != round) {
      if (round % 3 == 1) std::this_thread::yield();
      toProducer.wait(tracker);
    }
  }
  consumer.join();
}

TEST(ConditionVariableTest, WaitersBlockUntilNotifyAllWakesEveryOne) {
  constexpr int kWaiters = 16;
  constexpr int kRounds = 100;
  ConditionVariable cv;
  std::atomic<int> generation{0};
  std::atomic<int> arrived{0};
  std::atomic<int> wakeups{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      ConditionVariable::Tracker tracker(cv);
      for (int round = 1; round <= kRounds; ++round) {
        arrived.fetch_add(1);
        for (; generation.load() < round; wakeups.fetch_add(1)) cv.wait(tracker);
      }
    });
  }
  for (int round = 1; round <= kRounds; ++round) {
    while (arrived.load() < round * kWaiters) std::this_thread::yield();  // then one notification per round
    if (round == 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_EQ(wakeups.load(), 0) << "wait() returned without a notification";
    }
    generation.store(round);
    cv.notify_all();
  }
  for (auto& waiter : waiters) waiter.join();
}

}  // namespace
