// Events, waits and threads as the serial code relies on them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/testing.h"
#include "port_fixture.h"
#include "support/resource_count.h"

namespace {

namespace p = kavrel::platform;
using kavrel::DWORD;
using kavrel::HANDLE;
using kavrel_platform_test::AwaitSleepingWaiters;
using kavrel_platform_test::kPatienceMs;

// Events closed at scope end.
class Events {
 public:
  Events(int count, bool manualReset) {
    for (int i = 0; i < count; ++i) {
      handles_.push_back(p::CreateEventA(nullptr, manualReset, p::FALSE, nullptr));
    }
  }
  ~Events() {
    for (HANDLE handle : handles_) p::CloseHandle(handle);
  }
  HANDLE operator[](int i) const { return handles_[i]; }
  const HANDLE* data() const { return handles_.data(); }

 private:
  std::vector<HANDLE> handles_;
};

TEST(Events, ManualResetStaysSignalledUntilReset) {
  Events event(1, true);
  EXPECT_EQ(p::WaitForSingleObject(event[0], 0), p::WAIT_TIMEOUT);
  ASSERT_TRUE(p::SetEvent(event[0]));
  EXPECT_EQ(p::WaitForSingleObject(event[0], 0), p::WAIT_OBJECT_0);
  EXPECT_EQ(p::WaitForSingleObject(event[0], 0), p::WAIT_OBJECT_0);
  ASSERT_TRUE(p::ResetEvent(event[0]));
  EXPECT_EQ(p::WaitForSingleObject(event[0], 0), p::WAIT_TIMEOUT);
}

TEST(Events, AutoResetReleasesOneWaitPerSet) {
  Events event(1, false);
  ASSERT_TRUE(p::SetEvent(event[0]));
  EXPECT_EQ(p::WaitForSingleObject(event[0], 0), p::WAIT_OBJECT_0);
  EXPECT_EQ(p::WaitForSingleObject(event[0], 0), p::WAIT_TIMEOUT);
}

TEST(Events, InitialStateIsHonoured) {
  const HANDLE event = p::CreateEventA(nullptr, p::TRUE, p::TRUE, "ignored name");
  EXPECT_EQ(p::WaitForSingleObject(event, 0), p::WAIT_OBJECT_0);
  p::CloseHandle(event);
}

TEST(Events, TimedWaitsEndWithTimeoutAndLeaveNothingQueued) {
  Events events(2, false);
  p::SetEvent(events[1]);
  EXPECT_EQ(p::WaitForSingleObject(events[0], 20), p::WAIT_TIMEOUT);
  EXPECT_EQ(p::WaitForMultipleObjects(1, events.data(), p::FALSE, 20), p::WAIT_TIMEOUT);
  EXPECT_EQ(p::WaitForMultipleObjects(2, events.data(), p::TRUE, 20), p::WAIT_TIMEOUT);
  // The wait for all took nothing, and no timed-out wait is still queued.
  EXPECT_EQ(p::WaitForSingleObject(events[1], 0), p::WAIT_OBJECT_0);
  const std::uint64_t wakeups = p::testing::WaitWakeups();
  p::SetEvent(events[0]);
  EXPECT_EQ(p::testing::WaitWakeups(), wakeups);
}

TEST(Events, SetFromAnotherThreadWakesAnInfiniteWait) {
  Events event(1, true);
  std::thread setter([&] { p::SetEvent(event[0]); });
  EXPECT_EQ(p::WaitForSingleObject(event[0], p::INFINITE), p::WAIT_OBJECT_0);
  setter.join();
}

TEST(WaitForMultipleObjects, AnyReportsTheLowestSignalledIndex) {
  Events events(3, false);
  p::SetEvent(events[2]);
  p::SetEvent(events[1]);
  EXPECT_EQ(p::WaitForMultipleObjects(3, events.data(), p::FALSE, 0), p::WAIT_OBJECT_0 + 1);
  // Only the reported auto-reset event was taken.
  EXPECT_EQ(p::WaitForMultipleObjects(3, events.data(), p::FALSE, 0), p::WAIT_OBJECT_0 + 2);
  EXPECT_EQ(p::WaitForMultipleObjects(3, events.data(), p::FALSE, 0), p::WAIT_TIMEOUT);
}

TEST(WaitForMultipleObjects, AllWaitsForEveryObjectAndTakesThemTogether) {
  Events events(2, false);
  p::SetEvent(events[0]);
  EXPECT_EQ(p::WaitForMultipleObjects(2, events.data(), p::TRUE, 0), p::WAIT_TIMEOUT);
  // The partial state took nothing.
  EXPECT_EQ(p::WaitForSingleObject(events[0], 0), p::WAIT_OBJECT_0);
  p::SetEvent(events[0]);
  p::SetEvent(events[1]);
  EXPECT_EQ(p::WaitForMultipleObjects(2, events.data(), p::TRUE, 0), p::WAIT_OBJECT_0);
  EXPECT_EQ(p::WaitForSingleObject(events[0], 0), p::WAIT_TIMEOUT);
  EXPECT_EQ(p::WaitForSingleObject(events[1], 0), p::WAIT_TIMEOUT);
}

TEST(WaitForMultipleObjects, RefusesBadArguments) {
  Events event(1, true);
  const HANDLE twice[2] = {event[0], event[0]};
  const HANDLE withBad[2] = {event[0], static_cast<HANDLE>(event[0] + 1)};
  p::SetEvent(event[0]);
  struct Row {
    DWORD count;
    const HANDLE* handles;
    kavrel::BOOL all;
    DWORD error;
  } rows[] = {
      {0, twice, p::FALSE, p::ERROR_INVALID_PARAMETER},
      {65, twice, p::FALSE, p::ERROR_INVALID_PARAMETER},
      {2, twice, p::TRUE, p::ERROR_INVALID_PARAMETER},
      {2, withBad, p::FALSE, p::ERROR_INVALID_HANDLE},
  };
  for (const Row& row : rows) {
    p::SetLastError(p::ERROR_SUCCESS);
    EXPECT_EQ(p::WaitForMultipleObjects(row.count, row.handles, row.all, 0), p::WAIT_FAILED);
    EXPECT_EQ(p::GetLastError(), row.error);
  }
  EXPECT_EQ(p::WaitForSingleObject(p::kNoHandle, 0), p::WAIT_FAILED);
}

struct Gate {
  HANDLE release;
  HANDLE entered;
  std::atomic<int> runs{0};
};

DWORD KAVREL_CALLBACK GatedRoutine(void* argument) {
  auto* gate = static_cast<Gate*>(argument);
  gate->runs.fetch_add(1);
  // Nothing of the gate is touched once the test has been told the thread
  // is in: a test may return while the thread still waits.
  const HANDLE release = gate->release;
  p::SetEvent(gate->entered);
  p::WaitForSingleObject(release, p::INFINITE);
  return 42;
}

TEST(Threads, RunAtOnceAndAreSignalledWithTheirExitCodeWhenDone) {
  const kavrel_test::ResourceSnapshot before = kavrel_test::ResourceSnapshot::Take();
  Events events(2, true);
  Gate gate{events[0], events[1]};
  const HANDLE thread = p::CreateThread(nullptr, 0, &GatedRoutine, &gate, 0, nullptr);
  ASSERT_NE(thread, p::kNoHandle);
  ASSERT_EQ(p::WaitForSingleObject(gate.entered, kPatienceMs), p::WAIT_OBJECT_0);

  DWORD code = 0;
  ASSERT_TRUE(p::GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, p::STILL_ACTIVE);
  EXPECT_EQ(p::WaitForSingleObject(thread, 0), p::WAIT_TIMEOUT);

  p::SetEvent(gate.release);
  ASSERT_EQ(p::WaitForSingleObject(thread, kPatienceMs), p::WAIT_OBJECT_0);
  // A finished thread stays signalled for every later wait.
  EXPECT_EQ(p::WaitForSingleObject(thread, 0), p::WAIT_OBJECT_0);
  ASSERT_TRUE(p::GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(gate.runs.load(), 1);
  ASSERT_TRUE(p::CloseHandle(thread));
  // Closing the handle of a finished thread reclaims the thread.
  EXPECT_EQ(kavrel_test::ResourceSnapshot::TakeSettled(before).threads, before.threads);
}

TEST(Threads, ClosingTheHandleOfARunningThreadLetsItFinish) {
  Events events(3, true);
  Gate gate{events[0], events[1]};
  const HANDLE thread = p::CreateThread(nullptr, 0, &GatedRoutine, &gate, 0, nullptr);
  ASSERT_NE(thread, p::kNoHandle);
  ASSERT_EQ(p::WaitForSingleObject(gate.entered, kPatienceMs), p::WAIT_OBJECT_0);
  ASSERT_TRUE(p::CloseHandle(thread));
  EXPECT_FALSE(p::GetExitCodeThread(thread, nullptr));
  EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_HANDLE);
  // The thread is still waiting on the gate; releasing it lets it return on
  // its own, which the sanitizer builds check for leaks and races.
  p::SetEvent(gate.release);
}

TEST(Threads, WaitAnyCoversThreadsAndEventsTogether) {
  Events events(3, true);
  Gate gate{events[0], events[1]};
  const HANDLE thread = p::CreateThread(nullptr, 0, &GatedRoutine, &gate, 0, nullptr);
  ASSERT_NE(thread, p::kNoHandle);
  const HANDLE both[2] = {events[2], thread};
  p::SetEvent(gate.release);
  EXPECT_EQ(p::WaitForMultipleObjects(2, both, p::FALSE, kPatienceMs), p::WAIT_OBJECT_0 + 1);
  // Of an event and a finished thread, the lower index is reported.
  p::SetEvent(events[2]);
  EXPECT_EQ(p::WaitForMultipleObjects(2, both, p::FALSE, 0), p::WAIT_OBJECT_0);
  p::CloseHandle(thread);
}

TEST(Threads, ClosingHandlesDuringAWaitKeepsTheObjectsForTheirWaiters) {
  const std::size_t asleep = p::testing::SleepingWaiters();
  Events events(2, true);
  Gate gate{events[0], events[1]};
  const HANDLE thread = p::CreateThread(nullptr, 0, &GatedRoutine, &gate, 0, nullptr);
  ASSERT_NE(thread, p::kNoHandle);
  const HANDLE lonely = p::CreateEventA(nullptr, p::TRUE, p::FALSE, nullptr);
  DWORD onThread = 0;
  DWORD onEvent = 0;
  std::thread threadWaiter([&] { onThread = p::WaitForSingleObject(thread, kPatienceMs); });
  std::thread eventWaiter([&] { onEvent = p::WaitForSingleObject(lonely, 200); });
  // The gated thread and both waiters.
  EXPECT_TRUE(AwaitSleepingWaiters(asleep + 3));
  p::CloseHandle(thread);
  p::CloseHandle(lonely);
  p::SetEvent(gate.release);
  threadWaiter.join();
  eventWaiter.join();
  EXPECT_EQ(onThread, p::WAIT_OBJECT_0);
  EXPECT_EQ(onEvent, p::WAIT_TIMEOUT);
}

TEST(Waits, ASetWakesOnlyTheSleepersItReleases) {
  // Sleepers each on its own event, or all on one; the first set wakes as
  // many as it releases and no other.
  constexpr int kSleepers = 6;
  struct Row {
    bool eachOnItsOwn;
    bool manualReset;
    std::uint64_t woken;
  } rows[] = {{true, true, 1}, {false, false, 1}, {false, true, kSleepers}};
  for (const Row& row : rows) {
    Events events(kSleepers, row.manualReset);
    const std::size_t asleep = p::testing::SleepingWaiters();
    std::atomic<int> released{0};
    std::vector<std::thread> sleepers;
    for (int i = 0; i < kSleepers; ++i) {
      const HANDLE event = events[row.eachOnItsOwn ? i : 0];
      sleepers.emplace_back([&released, event] {
        if (p::WaitForSingleObject(event, kPatienceMs) == p::WAIT_OBJECT_0) released.fetch_add(1);
      });
    }
    EXPECT_TRUE(AwaitSleepingWaiters(asleep + kSleepers));
    const std::uint64_t wakeups = p::testing::WaitWakeups();
    p::SetEvent(events[0]);
    EXPECT_EQ(p::testing::WaitWakeups() - wakeups, row.woken);
    // The one sleeper an auto-reset event released took it.
    EXPECT_EQ(p::WaitForSingleObject(events[0], 0),
              row.manualReset ? p::WAIT_OBJECT_0 : p::WAIT_TIMEOUT);
    for (int i = 0; i < kSleepers; ++i) p::SetEvent(events[row.eachOnItsOwn ? i : 0]);
    for (std::thread& sleeper : sleepers) sleeper.join();
    EXPECT_EQ(released.load(), kSleepers);
  }
}

TEST(Waits, ASleepingWaitForAllTakesNothingUntilItCanTakeEverything) {
  Events events(2, false);
  const std::size_t asleep = p::testing::SleepingWaiters();
  DWORD result = 0;
  std::thread waiter(
      [&] { result = p::WaitForMultipleObjects(2, events.data(), p::TRUE, kPatienceMs); });
  EXPECT_TRUE(AwaitSleepingWaiters(asleep + 1));
  const std::uint64_t wakeups = p::testing::WaitWakeups();
  p::SetEvent(events[0]);
  // Half of the set was left for others: this thread takes it here.
  EXPECT_EQ(p::WaitForSingleObject(events[0], 0), p::WAIT_OBJECT_0);
  p::SetEvent(events[1]);
  EXPECT_EQ(p::testing::WaitWakeups(), wakeups);
  p::SetEvent(events[0]);
  waiter.join();
  EXPECT_EQ(result, p::WAIT_OBJECT_0);
  EXPECT_EQ(p::WaitForMultipleObjects(2, events.data(), p::FALSE, 0), p::WAIT_TIMEOUT);
}

TEST(Waits, NoSignalIsLostBetweenCheckingAndFallingAsleep) {
  // Every set races the other thread's check and sleep.
  constexpr int kRounds = 5000;
  Events events(3, false);  // stop (never set), ping, pong
  std::thread echo([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (p::WaitForMultipleObjects(2, events.data(), p::FALSE, kPatienceMs) !=
          p::WAIT_OBJECT_0 + 1) {
        return;
      }
      p::SetEvent(events[2]);
    }
  });
  int answered = 0;
  while (answered < kRounds) {
    p::SetEvent(events[1]);
    if (p::WaitForSingleObject(events[2], kPatienceMs) != p::WAIT_OBJECT_0) break;
    ++answered;
  }
  echo.join();
  EXPECT_EQ(answered, kRounds);
}

#if defined(KAVREL_FAULT_INJECTION)

DWORD KAVREL_CALLBACK CountingRoutine(void* argument) {
  static_cast<std::atomic<int>*>(argument)->fetch_add(1);
  return 0;
}

TEST(FaultInjection, NextThreadCreationFailsOnceAndStartsNothing) {
  const kavrel_test::ResourceSnapshot before = kavrel_test::ResourceSnapshot::Take();
  std::atomic<int> runs{0};
  p::testing::FailNextThreadCreation();
  EXPECT_EQ(p::CreateThread(nullptr, 0, &CountingRoutine, &runs, 0, nullptr), p::kNoHandle);
  EXPECT_NE(p::GetLastError(), p::ERROR_SUCCESS);
  EXPECT_EQ(p::testing::LiveHandleCount(), before.handles);
  EXPECT_EQ(kavrel_test::ThreadCount(), before.threads);

  const HANDLE thread = p::CreateThread(nullptr, 0, &CountingRoutine, &runs, 0, nullptr);
  ASSERT_NE(thread, p::kNoHandle);
  ASSERT_EQ(p::WaitForSingleObject(thread, kPatienceMs), p::WAIT_OBJECT_0);
  p::CloseHandle(thread);
  EXPECT_EQ(runs.load(), 1);
}

TEST(FaultInjection, NextEventCreationFailsOnce) {
  const std::size_t before = p::testing::LiveHandleCount();
  p::testing::FailNextEventCreation();
  EXPECT_EQ(p::CreateEventA(nullptr, p::TRUE, p::FALSE, nullptr), p::kNoHandle);
  EXPECT_EQ(p::testing::LiveHandleCount(), before);
  const HANDLE event = p::CreateEventA(nullptr, p::TRUE, p::FALSE, nullptr);
  EXPECT_NE(event, p::kNoHandle);
  p::CloseHandle(event);
}

#endif  // KAVREL_FAULT_INJECTION

}  // namespace
