// Opening a port: exclusive against this process and others, raw from the
// first byte, and leaving nothing behind when it fails or closes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/platform.h"
#include "platform/testing.h"
#include "port_fixture.h"
#include "support/resource_count.h"

extern char** environ;

namespace {

namespace p = kavrel::platform;
using kavrel::DWORD;
using kavrel::HANDLE;
using kavrel_platform_test::DevicePath;
using kavrel_platform_test::kPatienceMs;
using kavrel_platform_test::OpenPort;
using kavrel_platform_test::Request;

constexpr char kChildDeviceVariable[] = "KAVREL_TEST_OPEN_IN_CHILD";
constexpr int kChildWasRefused = 42;
constexpr int kChildOpenedIt = 43;

HANDLE Open(const std::string& name) {
  return p::CreateFileA(DevicePath(name).c_str(), p::GENERIC_READ | p::GENERIC_WRITE, 0, nullptr,
                        p::OPEN_EXISTING, p::FILE_FLAG_OVERLAPPED, 0);
}

bool SameLine(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
         cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

// Gives the line settings a first open is unlikely to have by accident, so a
// second open that changed anything would show.
void SetDistinctLine(HANDLE port) {
  kavrel::DCB dcb{};
  ASSERT_TRUE(p::GetCommState(port, &dcb));
  dcb.BaudRate = 19200;
  dcb.StopBits = p::TWOSTOPBITS;
  dcb.fOutX = 1;
  ASSERT_TRUE(p::SetCommState(port, &dcb));
}

TEST(ExclusiveOpen, SecondOpenInThisProcessIsDeniedAndChangesNothing) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  SetDistinctLine(port.handle());
  termios before{};
  ASSERT_EQ(tcgetattr(port.peer().master(), &before), 0);
  const kavrel_test::ResourceSnapshot resources = kavrel_test::ResourceSnapshot::Take();

  p::SetLastError(p::ERROR_SUCCESS);
  EXPECT_EQ(Open(port.peer().name()), kavrel::INVALID_HANDLE_VALUE);
  EXPECT_EQ(p::GetLastError(), p::ERROR_ACCESS_DENIED);

  termios after{};
  ASSERT_EQ(tcgetattr(port.peer().master(), &after), 0);
  EXPECT_TRUE(SameLine(before, after));
  EXPECT_EQ(kavrel_test::OpenDescriptorCount(), resources.descriptors);
  EXPECT_EQ(p::testing::LiveHandleCount(), resources.handles);
}

TEST(ExclusiveOpen, ADeviceLockedByAnotherHolderIsDenied) {
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  const int holder = open(pair.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(Open(pair.name()), kavrel::INVALID_HANDLE_VALUE);
  EXPECT_EQ(p::GetLastError(), p::ERROR_ACCESS_DENIED);
  close(holder);
  const HANDLE port = Open(pair.name());
  EXPECT_NE(port, kavrel::INVALID_HANDLE_VALUE);
  p::CloseHandle(port);
}

// Run by the test below in a child process; skipped when run on its own.
TEST(ExclusiveOpen, ChildProcessAttempt) {
  const char* name = std::getenv(kChildDeviceVariable);
  if (name == nullptr) GTEST_SKIP() << "only runs as the child of SecondOpenFromAnotherProcess";
  const HANDLE port = Open(name);
  const bool refused =
      port == kavrel::INVALID_HANDLE_VALUE && p::GetLastError() == p::ERROR_ACCESS_DENIED;
  std::_Exit(refused ? kChildWasRefused : kChildOpenedIt);
}

TEST(ExclusiveOpen, SecondOpenFromAnotherProcessIsDeniedAndChangesNothing) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  SetDistinctLine(port.handle());
  termios before{};
  ASSERT_EQ(tcgetattr(port.peer().master(), &before), 0);

  const std::string filter = "--gtest_filter=ExclusiveOpen.ChildProcessAttempt";
  const std::string variable = std::string(kChildDeviceVariable) + "=" + port.peer().name();
  std::vector<char*> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.push_back(*entry);
  environment.push_back(const_cast<char*>(variable.c_str()));
  environment.push_back(nullptr);
  char self[] = "/proc/self/exe";
  char* arguments[] = {self, const_cast<char*>(filter.c_str()), nullptr};
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, self, nullptr, nullptr, arguments, environment.data()), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kChildWasRefused);

  termios after{};
  ASSERT_EQ(tcgetattr(port.peer().master(), &after), 0);
  EXPECT_TRUE(SameLine(before, after));
}

// The tty's exclusive flag as another open of it sees it; -1 when that open
// is refused (only a privileged process gets past the flag to look).
int ExclusiveFlag(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  int exclusive = -1;
  if (ioctl(fd, TIOCGEXCL, &exclusive) != 0) exclusive = -1;
  close(fd);
  return exclusive;
}

TEST(ExclusiveOpen, ClosingReleasesTheDeviceForTheNextOpen) {
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  for (int i = 0; i < 3; ++i) {
    const HANDLE port = Open(pair.name());
    ASSERT_NE(port, kavrel::INVALID_HANDLE_VALUE) << i;
    const int whileOpen = ExclusiveFlag(pair.path());
    if (whileOpen != -1) {
      EXPECT_EQ(whileOpen, 1) << i;
    }
    ASSERT_TRUE(p::CloseHandle(port));
    // The pty outlives the open (its master stays), and so would the flag.
    EXPECT_EQ(ExclusiveFlag(pair.path()), 0) << i;
  }
}

TEST(ExclusiveOpen, TheNodeOpenedIsTheNodeCheckedWhateverIsSwappedUnderThePath) {
  // dir/a/port is the pty's own node (bound there), dir/b/port a FIFO; while
  // each open of the path through a runs, a thread keeps exchanging a and b.
  // Whatever the open finds at any moment, it may only ever open the pty: an
  // inotify watch on the FIFO sees every open of it.
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  char scratch[] = "/dev/shm/kavrel-swap-XXXXXX";
  if (mkdtemp(scratch) == nullptr) GTEST_SKIP() << "no /dev/shm here";
  const std::string dir = scratch, a = dir + "/a", b = dir + "/b";
  const std::string name = dir.substr(std::string("/dev/").size()) + "/a/port";
  ASSERT_EQ(mkdir(a.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(b.c_str(), 0700), 0);
  const int target = open((a + "/port").c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(target, 0);
  close(target);
  // A pty slave opens only through its own devpts inode, so that node is
  // bound here rather than made anew; binding needs privilege.
  const bool bound =
      mount(pair.path().c_str(), (a + "/port").c_str(), nullptr, MS_BIND, nullptr) == 0;
  ASSERT_EQ(mkfifo((b + "/port").c_str(), 0600), 0);
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, (b + "/port").c_str(), IN_OPEN), 0);
  // Counted after every open: the kernel merges events that wait unread.
  int fifoOpens = 0;
  const auto countFifoOpens = [&] {
    char events[4096];
    for (ssize_t got; (got = read(watch, events, sizeof events)) > 0;) {
      fifoOpens += static_cast<int>(got / sizeof(inotify_event));
    }
  };

  HANDLE afterwards = kavrel::INVALID_HANDLE_VALUE;
  if (bound) {
    std::mutex mutex;
    std::condition_variable wake;
    std::atomic<bool> opening{false};
    bool stop = false;
    std::thread swapper([&] {
      std::unique_lock<std::mutex> lock(mutex);
      for (;;) {
        wake.wait(lock, [&] { return stop || opening.load(); });
        if (stop) return;
        lock.unlock();
        while (opening.load()) renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
        lock.lock();
      }
    });
    for (int attempt = 0; attempt < 10000; ++attempt) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        opening.store(true);
      }
      wake.notify_one();
      const HANDLE port = Open(name);
      opening.store(false);
      if (port != kavrel::INVALID_HANDLE_VALUE) p::CloseHandle(port);
      countFifoOpens();
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      stop = true;
    }
    wake.notify_one();
    swapper.join();
    // Still, path through a to the pty opens.
    struct stat atA {};
    if (lstat((a + "/port").c_str(), &atA) == 0 && !S_ISCHR(atA.st_mode)) {
      renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
    }
    afterwards = Open(name);
    if (afterwards != kavrel::INVALID_HANDLE_VALUE) p::CloseHandle(afterwards);
  }
  close(watch);
  // The bound node is under a or b by now.
  for (const std::string& leaf : {a + "/port", b + "/port"}) {
    umount2(leaf.c_str(), MNT_DETACH);
    unlink(leaf.c_str());
  }
  for (const std::string& directory : {a, b, dir}) rmdir(directory.c_str());
  if (!bound) GTEST_SKIP() << "binding a node needs privilege (CAP_SYS_ADMIN)";
  EXPECT_EQ(fifoOpens, 0) << "the FIFO was opened " << fifoOpens << " times in 10,000 tries";
  EXPECT_NE(afterwards, kavrel::INVALID_HANDLE_VALUE);
}

TEST(RawMode, EveryByteValuePassesUnchangedBothWays) {
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  // Start from a cooked line: echo, line editing, signals, CR/LF mapping,
  // XON/XOFF and output processing all on. (Termios requests on the master
  // act on the slave's settings.)
  termios cooked{};
  ASSERT_EQ(tcgetattr(pair.master(), &cooked), 0);
  cooked.c_iflag |= ICRNL | INLCR | IXON | IXOFF | ISTRIP;
  cooked.c_oflag |= OPOST | ONLCR;
  cooked.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
  ASSERT_EQ(tcsetattr(pair.master(), TCSANOW, &cooked), 0);

  const HANDLE port = Open(pair.name());
  ASSERT_NE(port, kavrel::INVALID_HANDLE_VALUE);
  unsigned char all[256];
  for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);

  {
    Request write(port);
    DWORD written = 0;
    DWORD error = 0;
    if (!p::WriteFile(port, all, sizeof all, nullptr, write.get())) {
      ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
    }
    ASSERT_TRUE(write.Result(&written, &error)) << error;
    EXPECT_EQ(written, sizeof all);
    const std::vector<unsigned char> received = pair.ReadExactly(sizeof all);
    EXPECT_EQ(received, std::vector<unsigned char>(all, all + sizeof all));
  }
  {
    ASSERT_TRUE(pair.WriteAll(all, sizeof all));
    unsigned char received[256] = {};
    Request read(port);
    if (!p::ReadFile(port, received, sizeof received, nullptr, read.get())) {
      ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
    }
    DWORD count = 0;
    DWORD error = 0;
    ASSERT_TRUE(read.Result(&count, &error)) << error;
    EXPECT_EQ(count, sizeof received);
    EXPECT_EQ(std::memcmp(received, all, sizeof all), 0);
  }
  p::CloseHandle(port);
}

TEST(IoThread, RunsOnlyWhileADeviceIsOpen) {
  kavrel_test::PtyPair first;
  kavrel_test::PtyPair second;
  if (!first.ok() || !second.ok()) GTEST_SKIP() << "no pty here";
  const kavrel_test::ResourceSnapshot before = kavrel_test::ResourceSnapshot::Take();

  const HANDLE a = Open(first.name());
  ASSERT_NE(a, kavrel::INVALID_HANDLE_VALUE);
  EXPECT_EQ(kavrel_test::ThreadCount(), before.threads + 1);
  const HANDLE b = Open(second.name());
  ASSERT_NE(b, kavrel::INVALID_HANDLE_VALUE);
  EXPECT_EQ(kavrel_test::ThreadCount(), before.threads + 1);
  p::CloseHandle(a);
  EXPECT_EQ(kavrel_test::ThreadCount(), before.threads + 1);
  p::CloseHandle(b);

  const kavrel_test::ResourceSnapshot after = kavrel_test::ResourceSnapshot::TakeSettled(before);
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_EQ(after.descriptors, before.descriptors);
  EXPECT_EQ(after.handles, before.handles);
}

TEST(IoThread, ManyOpenCloseCyclesLeaveNothingBehind) {
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  const kavrel_test::ResourceSnapshot before = kavrel_test::ResourceSnapshot::Take();
  for (int i = 0; i < 200; ++i) {
    const HANDLE port = Open(pair.name());
    ASSERT_NE(port, kavrel::INVALID_HANDLE_VALUE) << i;
    // A pending read and wait are ended by the close each time.
    unsigned char buffer[8];
    Request read(port);
    Request wait(port);
    DWORD mask = 0;
    p::ReadFile(port, buffer, sizeof buffer, nullptr, read.get());
    p::SetCommMask(port, p::EV_RXCHAR);
    p::WaitCommEvent(port, &mask, wait.get());
    ASSERT_TRUE(p::CloseHandle(port));
    ASSERT_TRUE(read.Signalled(kPatienceMs));
    ASSERT_TRUE(wait.Signalled(kPatienceMs));
  }
  const kavrel_test::ResourceSnapshot after = kavrel_test::ResourceSnapshot::TakeSettled(before);
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_EQ(after.descriptors, before.descriptors);
  EXPECT_EQ(after.handles, before.handles);
}

}  // namespace
