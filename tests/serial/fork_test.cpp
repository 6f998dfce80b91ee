// fork() without exec: the child starts with no ports. Its inherited objects
// close at once, its own ports work with an I/O thread of its own, and the
// parent neither loses its port's lock nor notices the child.
//
// Each case forks with a port open and its listener running. The child runs
// its checks and reports what failed through a pipe; a child that does not
// finish within the time allowed is killed and counted as hung.
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
#include <memory>
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

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KAVREL_TEST_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define KAVREL_TEST_TSAN 1
#endif

// What the child says back: one line per failed check.
class ChildReport {
 public:
  explicit ChildReport(int fd) : fd_(fd) {}
  void Check(bool held, const std::string& what) {
    if (held) return;
    failed_ = true;
    Say("failed: " + what);
  }
  void Say(const std::string& line) {
    const std::string text = line + "\n";
    (void)!write(fd_, text.data(), text.size());
  }
  bool failed() const { return failed_; }

 private:
  const int fd_;
  bool failed_ = false;
};

struct ChildOutcome {
  bool finished = false;  // ended within the time allowed
  int status = 0;         // waitpid's status once finished
  std::string report;
};

// Runs body in a forked child, which ends with _exit (0 when every check
// held) unless body ends the process itself. midway, if given, runs in the
// parent once the child has written "wait" on a line of its own, and the
// child's WaitForParent returns once midway has returned.
class ForkedChild {
 public:
  using Body = std::function<void(ChildReport&, ForkedChild&)>;

  ChildOutcome Run(const Body& body, const std::function<void()>& midway = {},
                   std::chrono::seconds allowed = std::chrono::seconds(20)) {
    int report[2];
    int release[2];
    if (pipe2(report, O_CLOEXEC) != 0 || pipe2(release, O_CLOEXEC) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
      close(report[0]);
      close(release[1]);
      releaseFd_ = release[0];
      reportFd_ = report[1];
      ChildReport checks(report[1]);
      body(checks, *this);
      _exit(checks.failed() ? 1 : 0);
    }
    close(report[1]);
    close(release[0]);
    ChildOutcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + allowed;
    bool released = false;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd ready{report[0], POLLIN, 0};
      if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[256];
      const ssize_t got = read(report[0], buffer, sizeof buffer);
      if (got <= 0) {
        outcome.finished = true;
        break;
      }
      outcome.report.append(buffer, static_cast<std::size_t>(got));
      if (!released && outcome.report.find("wait\n") != std::string::npos) {
        if (midway) midway();
        close(release[1]);
        released = true;
      }
    }
    if (!released) close(release[1]);
    close(report[0]);
    if (!outcome.finished) kill(child, SIGKILL);
    waitpid(child, &outcome.status, 0);
    if (!outcome.finished) outcome.report += "the child hung\n";
    return outcome;
  }

  // In the child: lets the parent run midway, and returns once it has.
  void WaitForParent() {
    (void)!write(reportFd_, "wait\n", 5);
    char byte;
    (void)!read(releaseFd_, &byte, 1);
  }

 private:
  int releaseFd_ = -1;
  int reportFd_ = -1;
};

void ExpectSucceeded(const ChildOutcome& outcome) {
  EXPECT_TRUE(outcome.finished) << outcome.report;
  EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0)
      << "status " << outcome.status << "\n"
      << outcome.report;
}

// Whether this process has a descriptor open on path.
bool HoldsDescriptorOn(const std::string& path) {
  for (int fd = 0; fd < 1024; ++fd) {
    char link[64];
    char target[256] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length > 0 && path == target) return true;
  }
  return false;
}

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

class Fork : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pair_.ok()) GTEST_SKIP() << "no pty here";
    kavrel::SetMainWindow(&window_);
    port_->SetSerial(pair_.name().c_str(), 115200, 8, 1, "NONE", "");
    port_->OpenSerial();
    ASSERT_TRUE(port_->IsSerialOpen());
    port_->ListenSerial(0, 1);
  }
  void TearDown() override {
    port_.reset();
    kavrel::SetMainWindow(nullptr);
  }

  // The parent's port still moves bytes both ways and is notified.
  void ExpectParentPortWorks() {
    const Bytes out = kavrel_test::RandomBytes(1000, 31);
    EXPECT_EQ(port_->WriteSerial(out.data(), out.size()), 1);
    EXPECT_EQ(pair_.ReadExactly(out.size()), out);
    kavrel::Message message{};
    while (window_.Wait(message, 0)) {
      // Notifications of bytes read earlier.
    }
    ASSERT_TRUE(pair_.WriteAll("back", 4));
    ASSERT_TRUE(window_.Wait(message, 5000));
    Bytes buffer(SerialCtl::kStagingSize);
    int count = 0;
    port_->ReadSerial(buffer.data(), count);
    EXPECT_EQ(count, 4);
  }

  kavrel::MessageQueue window_;
  PtyPair pair_;
  std::unique_ptr<SerialCtl> port_{new SerialCtl};
  ForkedChild child_;
};

TEST_F(Fork, InheritedPortIsClosedAtOnceInTheChild) {
  // Bytes wait, so the listener is busy announcing them when the fork comes.
  ASSERT_TRUE(pair_.WriteAll("waiting", 7));
  kavrel::Message message{};
  ASSERT_TRUE(window_.Wait(message, 5000));
  const kavrel::HANDLE inherited = port_->portHandle;
  const std::string slave = pair_.path();

  const ChildOutcome outcome = child_.Run([&](ChildReport& checks, ForkedChild&) {
    kavrel::COMSTAT status{};
    kavrel::DWORD errors = 0;
    checks.Check(!platform::ClearCommError(inherited, &errors, &status) &&
                     platform::GetLastError() == platform::ERROR_INVALID_HANDLE,
                 "the inherited handle is invalid");
    checks.Check(platform::testing::LiveHandleCount() == 0, "no live handle");
    checks.Check(!HoldsDescriptorOn(slave), "the device's descriptor is closed");
    checks.Check(!port_->IsSerialOpen(), "the inherited object is closed");
    const unsigned char byte = 1;
    checks.Check(port_->WriteSerial(&byte, 1) == 0, "a write fails");
    Bytes buffer(SerialCtl::kStagingSize);
    int count = -1;
    port_->ReadSerial(buffer.data(), count);
    checks.Check(count == 0, "a read delivers nothing");
    // Each returns at once; a hang is caught by the parent's deadline.
    port_->StopListenSerial();
    port_->CloseSerial();
    port_.reset();
    checks.Check(platform::testing::LiveHandleCount() == 0, "no live handle after closing");
  });
  ExpectSucceeded(outcome);
  // The parent noticed nothing: the bytes still wait, and the port works.
  Bytes buffer(SerialCtl::kStagingSize);
  int count = 0;
  port_->ReadSerial(buffer.data(), count);
  EXPECT_EQ(count, 7);
  ExpectParentPortWorks();
}

// A static object whose destructor runs when the child calls exit().
SerialCtl staticPort;

TEST_F(Fork, AChildThatExitsWithAListeningStaticObjectEnds) {
  staticPort.SetSerial(pair_.name().c_str(), 115200, 8, 1, "NONE", "");
  port_.reset();  // the device is staticPort's now
  staticPort.OpenSerial();
  ASSERT_TRUE(staticPort.IsSerialOpen());
  staticPort.ListenSerial(0, 1);
  const ChildOutcome outcome = child_.Run([](ChildReport&, ForkedChild&) { std::exit(0); });
  EXPECT_TRUE(outcome.finished) << outcome.report;
  EXPECT_TRUE(WIFEXITED(outcome.status)) << outcome.status;
  staticPort.CloseSerial();
}

TEST_F(Fork, TheParentReopensItsPortWhileTheChildLives) {
  bool reopened = false;
  const ChildOutcome outcome =
      child_.Run([](ChildReport&, ForkedChild& child) { child.WaitForParent(); },
                 [&] {
                   port_->CloseSerial();
                   port_->OpenSerial();
                   reopened = port_->IsSerialOpen();
                   port_->ListenSerial(0, 1);
                 });
  ExpectSucceeded(outcome);
  EXPECT_TRUE(reopened) << "the child kept the port's lock";
  if (reopened) ExpectParentPortWorks();
}

TEST_F(Fork, APortOpenedInTheChildWorksAndTheParentNeverSeesIt) {
#if defined(KAVREL_TEST_TSAN)
  GTEST_SKIP() << "ThreadSanitizer does not support threads started in a child of a "
                  "multi-threaded fork (die_after_fork)";
#endif
  double parentCpu = 0;
  const ChildOutcome outcome = child_.Run(
      [&](ChildReport& checks, ForkedChild& child) {
        kavrel::MessageQueue childWindow;
        kavrel::SetMainWindow(&childWindow);
        PtyPair childPair;
        SerialCtl childPort;
        childPort.SetSerial(childPair.name().c_str(), 115200, 8, 1, "NONE", "");
        childPort.OpenSerial();
        checks.Check(childPort.IsSerialOpen(), "the child opens a port of its own");
        childPort.ListenSerial(0, 1);
        // Bytes wait on the child's port while the parent looks at its own
        // CPU time.
        checks.Check(childPair.WriteAll("hello", 5), "the child's peer writes");
        child.WaitForParent();

        kavrel::Message message{};
        checks.Check(childWindow.Wait(message, 5000), "the child is notified");
        Bytes buffer(SerialCtl::kStagingSize);
        int count = 0;
        childPort.ReadSerial(buffer.data(), count);
        checks.Check(count == 5 && std::memcmp(buffer.data(), "hello", 5) == 0,
                     "the child reads what its peer wrote");

        const Bytes block = kavrel_test::RandomBytes(64 * 1024, 32);
        std::thread peer([&] {
          checks.Check(childPair.ReadExactly(block.size()) == block, "the peer gets 64 KiB whole");
        });
        checks.Check(childPort.WriteSerial(block.data(), block.size()) == 1,
                     "the child writes 64 KiB");
        peer.join();
        childPort.CloseSerial();
        kavrel::SetMainWindow(nullptr);
      },
      [&] {
        // Over half a second of the child's bytes waiting, the parent, whose
        // threads have nothing to do, uses next to no CPU time.
        const double before = ProcessCpuSeconds();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        parentCpu = ProcessCpuSeconds() - before;
      });
  ExpectSucceeded(outcome);
  EXPECT_LT(parentCpu, 0.05) << "the parent's I/O thread spun on the child's descriptor";
  ExpectParentPortWorks();
}

}  // namespace
