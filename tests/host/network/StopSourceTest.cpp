#include <gtest/gtest.h>
#include <poll.h>

#include <thread>

#include "ormanta/utils/io/StopSource.h"

namespace {

using ormanta::utils::io::StopSource;

bool handleSignalled(const StopSource& source) {
  pollfd fd{static_cast<int>(source.nativeWaitHandle()), POLLIN, 0};
  return ::poll(&fd, 1, 0) == 1;
}

TEST(StopSource, StartsUnrequestedWithQuietHandle) {
  StopSource source;
  EXPECT_FALSE(source.stopRequested());
  EXPECT_GE(source.nativeWaitHandle(), 0);
  EXPECT_FALSE(handleSignalled(source));
}

TEST(StopSource, RequestSetsFlagAndSignalsHandleUntilReset) {
  StopSource source;
  source.requestStop();
  source.requestStop();  // a second request is harmless
  EXPECT_TRUE(source.stopRequested());
  EXPECT_TRUE(handleSignalled(source));
  EXPECT_TRUE(handleSignalled(source)) << "polling must not consume the signal";

  source.reset();
  EXPECT_FALSE(source.stopRequested());
  EXPECT_FALSE(handleSignalled(source));

  source.requestStop();
  EXPECT_TRUE(source.stopRequested());
  EXPECT_TRUE(handleSignalled(source));
}

TEST(StopSource, ResetWithoutRequestIsHarmless) {
  StopSource source;
  source.reset();
  EXPECT_FALSE(source.stopRequested());
  EXPECT_FALSE(handleSignalled(source));
}

TEST(StopSource, RequestFromAnotherThreadWakesAPoller) {
  StopSource source;
  std::thread requester([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    source.requestStop();
  });
  pollfd fd{static_cast<int>(source.nativeWaitHandle()), POLLIN, 0};
  const int ready = ::poll(&fd, 1, 5000);
  requester.join();
  EXPECT_EQ(ready, 1);
  EXPECT_TRUE(source.stopRequested());
}

TEST(StopSource, EachSourceHasItsOwnHandle) {
  StopSource first;
  StopSource second;
  EXPECT_NE(first.nativeWaitHandle(), second.nativeWaitHandle());
  first.requestStop();
  EXPECT_FALSE(second.stopRequested());
  EXPECT_FALSE(handleSignalled(second));
}

}  // namespace
