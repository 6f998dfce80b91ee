// fork() without exec: the child starts with no ports. Its inherited objects
// close at once, its own ports work with an I/O thread of its own, and the
// parent neither loses its port's lock nor notices the child.
//
// Each case forks with a port open and its listener running. The child runs
// its checks and writes each failure on the report pipe; a child that has
// not ended within 20 s is killed and counted as hung.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kavrel/SerialCtl.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "support/pty_pair.h"
#include "support/random_bytes.h"

namespace {

using kavrel_test::PtyPair;
using Bytes = std::vector<unsigned char>;
namespace platform = kavrel::platform;

// The child's side: Check reports a failed check; Pause lets the parent run
// its midway step and returns once that is done.
struct Child {
  int report;
  int resume;
  bool failed = false;
  void Check(bool held, const char* what) {
    if (held) return;
    failed = true;
    (void)!write(report, what, std::strlen(what));
    (void)!write(report, "\n", 1);
  }
  void Pause() {
    char byte;
    (void)!write(report, "\x01", 1);
    (void)!read(resume, &byte, 1);
  }
};

#if defined(__SANITIZE_ADDRESS__)
// A child's exit() runs the leak check, which cannot reach what the parent's
// other threads held (their thread-local storage): they did not come along.
// That memory is fork()'s, not a leak of the library, so the check is off in
// the children of these tests.
bool inForkedChild = false;
extern "C" int __lsan_is_turned_off() { return inForkedChild ? 1 : 0; }
#endif

// Runs body in a forked child, which ends with _exit (status 1 when a check
// failed) unless body ends the process itself; midway runs in the parent
// while the child pauses. Expects the child to end in time with status 0.
void ExpectChildSucceeds(const std::function<void(Child&)>& body,
                         const std::function<void()>& midway = {}) {
  int report[2];
  int resume[2];
  ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(resume, O_CLOEXEC), 0);
  const pid_t pid = fork();
  if (pid == 0) {
#if defined(__SANITIZE_ADDRESS__)
    inForkedChild = true;
#endif
    close(report[0]);
    close(resume[1]);
    Child child{report[1], resume[0]};
    body(child);
    _exit(child.failed ? 1 : 0);
  }
  close(report[1]);
  close(resume[0]);
  std::string text;
  bool ended = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{report[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
    char byte;
    if (read(report[0], &byte, 1) != 1) {
      ended = true;
      break;
    }
    if (byte != '\x01') {
      text += byte;
      continue;
    }
    if (midway) midway();
    close(resume[1]);
    resume[1] = -1;
  }
  close(report[0]);
  if (resume[1] >= 0) close(resume[1]);
  if (!ended) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(ended) << "the child hung\n" << text;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << text;
}

// A static object, so that a child's exit() runs its destructor.
SerialCtl port;

class Fork : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pair_.ok()) GTEST_SKIP() << "no pty here";
    kavrel::SetMainWindow(&window_);
    port.SetSerial(pair_.name().c_str(), 115200, 8, 1, "NONE", "");
    port.OpenSerial();
    ASSERT_TRUE(port.IsSerialOpen());
    port.ListenSerial(0, 1);
    // Forking while a thread of the parent is inside the address
    // sanitizer's allocator leaves its lock held in the child (that runtime
    // does not guard fork), so the tests fork while the listener sleeps.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (platform::testing::SleepingWaiters() == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  void TearDown() override {
    port.CloseSerial();
    kavrel::SetMainWindow(nullptr);
  }

  // The parent's port still moves bytes both ways and is notified.
  void ExpectParentPortWorks() {
    const Bytes out = kavrel_test::RandomBytes(1000, 31);
    EXPECT_EQ(port.WriteSerial(out.data(), out.size()), 1);
    EXPECT_EQ(pair_.ReadExactly(out.size()), out);
    kavrel::Message message{};
    ASSERT_TRUE(pair_.WriteAll("back", 4));
    ASSERT_TRUE(window_.Wait(message, 5000));
    Bytes buffer(SerialCtl::kStagingSize);
    int count = 0;
    port.ReadSerial(buffer.data(), count);
    EXPECT_EQ(count, 4);
  }

  kavrel::MessageQueue window_;
  PtyPair pair_;
};

// The object's first call in the child (CloseSerial, StopListenSerial, or
// exit() running its destructor) returns at once though its listener ran.
TEST_F(Fork, InheritedPortIsClosedAtOnceInTheChild) {
  const kavrel::HANDLE inherited = port.portHandle;
  for (const int firstCall : {0, 1, 2}) {
    ExpectChildSucceeds([&](Child& child) {
      kavrel::COMSTAT status{};
      child.Check(!platform::ClearCommError(inherited, nullptr, &status) &&
                      platform::GetLastError() == platform::ERROR_INVALID_HANDLE,
                  "the inherited handle is invalid");
      child.Check(platform::testing::LiveHandleCount() == 0, "no live handle");
      if (firstCall == 0) port.CloseSerial();
      if (firstCall == 1) port.StopListenSerial();
      if (firstCall == 2) std::exit(child.failed ? 1 : 0);
      child.Check(!port.IsSerialOpen(), "the inherited object is closed");
      child.Check(port.WriteSerial(reinterpret_cast<const unsigned char*>("x"), 1) == 0,
                  "a write fails");
    });
  }
  ExpectParentPortWorks();
}

TEST_F(Fork, TheParentReopensItsPortWhileTheChildLives) {
  ExpectChildSucceeds([](Child& child) { child.Pause(); },
                      [&] {
                        port.CloseSerial();
                        port.OpenSerial();
                        EXPECT_TRUE(port.IsSerialOpen()) << "the child kept the port's lock";
                        port.ListenSerial(0, 1);
                      });
  if (port.IsSerialOpen()) ExpectParentPortWorks();
}

TEST_F(Fork, APortOpenedInTheChildWorksAndTheParentNeverSeesIt) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not support threads started in the child of a "
                  "multi-threaded process (die_after_fork)";
#endif
  double parentCpu = 0;
  ExpectChildSucceeds(
      [](Child& child) {
        kavrel::MessageQueue window;
        kavrel::SetMainWindow(&window);
        PtyPair peer;
        SerialCtl own;
        own.SetSerial(peer.name().c_str(), 115200, 8, 1, "NONE", "");
        own.OpenSerial();
        own.ListenSerial(0, 1);
        // Bytes wait on the child's port while the parent measures itself.
        child.Check(peer.WriteAll("hello", 5), "the child's peer writes");
        child.Pause();
        kavrel::Message message{};
        child.Check(window.Wait(message, 5000), "the child is notified");
        Bytes buffer(SerialCtl::kStagingSize);
        int count = 0;
        own.ReadSerial(buffer.data(), count);
        child.Check(count == 5, "the child reads what its peer wrote");
        const Bytes block = kavrel_test::RandomBytes(64 * 1024, 32);
        std::thread reader(
            [&] { child.Check(peer.ReadExactly(block.size()) == block, "64 KiB arrive"); });
        child.Check(own.WriteSerial(block.data(), block.size()) == 1, "the child writes 64 KiB");
        reader.join();
        own.CloseSerial();
        kavrel::SetMainWindow(nullptr);
      },
      [&] {
        // Half a second of the child's bytes waiting costs the parent, whose
        // threads have nothing to do, next to no CPU time.
        timespec before{};
        timespec after{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
        parentCpu = static_cast<double>(after.tv_sec - before.tv_sec) +
                    static_cast<double>(after.tv_nsec - before.tv_nsec) / 1e9;
      });
  EXPECT_LT(parentCpu, 0.05) << "the parent spun on the child's descriptor";
  ExpectParentPortWorks();
}

}  // namespace
