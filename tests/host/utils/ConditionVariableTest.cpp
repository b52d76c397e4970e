#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "ormanta/utils/lockFree/ConditionVariable.h"

namespace {

using ormanta::utils::lockFree::ConditionVariable;

// A lost notification shows up as a hang; the watchdog turns it into a failure with a reason
// instead of waiting for the test runner's time-out.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit, const char* what)
      : thread_([this, limit, what] {
          std::unique_lock lock(mutex_);
          if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: %s did not finish within %lld s\n", what,
                         static_cast<long long>(limit.count()));
            std::abort();
          }
        }) {}

  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;  // guarded by mutex_
  std::thread thread_;
};

TEST(ConditionVariableTest, NotifyAfterTrackerReturnsWaitAtOnce) {
  Watchdog watchdog(std::chrono::seconds(10), "wait after notify");
  ConditionVariable cv;
  ConditionVariable::Tracker tracker(cv);
  cv.notify_all();
  cv.wait(tracker);
  SUCCEED();
}

TEST(ConditionVariableTest, EachNotificationReleasesOneFurtherWait) {
  Watchdog watchdog(std::chrono::seconds(10), "repeated waits");
  ConditionVariable cv;
  ConditionVariable::Tracker tracker(cv);
  for (int i = 0; i < 100; ++i) {
    cv.notify_all();
    cv.wait(tracker);
  }
  SUCCEED();
}

TEST(ConditionVariableTest, WaitBlocksUntilNotified) {
  Watchdog watchdog(std::chrono::seconds(10), "blocked waiter");
  ConditionVariable cv;
  std::atomic<bool> returned{false};
  ConditionVariable::Tracker tracker(cv);
  std::thread waiter([&] {
    cv.wait(tracker);
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned.load()) << "wait() returned without a notification";
  cv.notify_all();
  waiter.join();
  EXPECT_TRUE(returned.load());
}

// Stands for a waiter that is preempted between its check and its wait.
void pauseSometimes(int round) {
  if (round % 3 == 0) std::this_thread::yield();
  if (round % 5 == 0) {
    std::atomic<int> spin{0};
    while (spin.fetch_add(1, std::memory_order_relaxed) < 200) {
    }
  }
}

// Two threads hand a counter back and forth, each with the check-then-wait loop; the pauses
// make the other side's notification often land between a check and the wait after it.
TEST(ConditionVariableTest, NoNotificationLostBetweenCheckAndWait) {
  Watchdog watchdog(std::chrono::seconds(60), "ping-pong");
  constexpr int kRounds = 100000;
  ConditionVariable toConsumer;
  ConditionVariable toProducer;
  std::atomic<int> produced{0};
  std::atomic<int> consumed{0};

  std::thread consumer([&] {
    ConditionVariable::Tracker tracker(toConsumer);
    for (int round = 1; round <= kRounds; ++round) {
      while (produced.load() != round) {
        pauseSometimes(round);
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
      pauseSometimes(round + 1);
      toProducer.wait(tracker);
    }
  }
  consumer.join();
  EXPECT_EQ(consumed.load(), kRounds);
}

// A waiter that returns from wait() sees what the notifier wrote before notify_all(), without
// any other synchronisation (run under ThreadSanitizer to check the ordering).
TEST(ConditionVariableTest, WaiterSeesWritesMadeBeforeNotify) {
  Watchdog watchdog(std::chrono::seconds(30), "ordering rounds");
  for (int round = 0; round < 500; ++round) {
    ConditionVariable cv;
    int payload = 0;
    ConditionVariable::Tracker tracker(cv);  // made before the notifier exists
    std::thread notifier([&] {
      payload = round + 1;
      cv.notify_all();
    });
    cv.wait(tracker);
    EXPECT_EQ(payload, round + 1);
    notifier.join();
  }
}

TEST(ConditionVariableTest, NotifyAllWakesEveryWaiter) {
  Watchdog watchdog(std::chrono::seconds(30), "many waiters");
  constexpr int kWaiters = 16;
  constexpr int kRounds = 200;
  ConditionVariable cv;
  std::atomic<int> generation{0};
  std::atomic<int> arrived{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      ConditionVariable::Tracker tracker(cv);
      for (int round = 1; round <= kRounds; ++round) {
        arrived.fetch_add(1);
        while (generation.load() < round) cv.wait(tracker);
      }
    });
  }
  for (int round = 1; round <= kRounds; ++round) {
    // Every waiter has reached this round's loop before the single notification.
    while (arrived.load() < round * kWaiters) std::this_thread::yield();
    generation.store(round);
    cv.notify_all();
  }
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(arrived.load(), kRounds * kWaiters);
}

}  // namespace
