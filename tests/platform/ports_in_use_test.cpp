// A port that someone else uses is refused before the library touches it,
// and the refusal names who: a session's terminal, the kernel's console, a
// UUCP lock. The lock the library takes lasts exactly as long as its port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "port_fixture.h"
#include "support/host_capture.h"
#include "support/port_users.h"
#include "support/pty_pair.h"

namespace {

namespace p = kavrel::platform;
using kavrel::HANDLE;
using kavrel_platform_test::DevicePath;
using kavrel_test::LockDirectory;
using kavrel_test::LockText;

HANDLE Open(const std::string& name) {
  return p::CreateFileA(DevicePath(name).c_str(), p::GENERIC_READ | p::GENERIC_WRITE, 0, nullptr,
                        p::OPEN_EXISTING, p::FILE_FLAG_OVERLAPPED, 0);
}

// Opens name expecting a refusal with error and reason.
void ExpectRefused(const std::string& name, kavrel::DWORD error, const std::string& reason) {
  p::SetLastError(p::ERROR_SUCCESS);
  const HANDLE port = Open(name);
  EXPECT_EQ(port, kavrel::INVALID_HANDLE_VALUE) << name;
  if (port != kavrel::INVALID_HANDLE_VALUE) p::CloseHandle(port);
  EXPECT_EQ(p::GetLastError(), error) << name;
  EXPECT_EQ(p::LastErrorDetail(), reason) << name;
}

TEST(TerminalsInUse, ASessionsTerminalIsRefusedUntouchedUntilTheSessionEnds) {
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  // A cooked line, as a shell's terminal has: an open would make it raw.
  termios cooked{};
  ASSERT_EQ(tcgetattr(pair.master(), &cooked), 0);
  cooked.c_lflag |= ECHO | ICANON | ISIG;
  ASSERT_EQ(tcsetattr(pair.master(), TCSANOW, &cooked), 0);
  kavrel_test::ProcessOnTerminal session(
      pair.path(), kavrel_test::ProcessOnTerminal::Hold::kAsControllingTerminal);
  ASSERT_TRUE(session.ok());

  ExpectRefused(pair.name(), p::ERROR_ACCESS_DENIED,
                "a terminal in use (pid " + std::to_string(session.pid()) + ")");
  termios after{};
  ASSERT_EQ(tcgetattr(pair.master(), &after), 0);
  EXPECT_EQ(after.c_lflag, cooked.c_lflag);
  EXPECT_EQ(after.c_iflag, cooked.c_iflag);

  session.End();
  const HANDLE port = Open(pair.name());
  EXPECT_NE(port, kavrel::INVALID_HANDLE_VALUE);
  p::CloseHandle(port);
}

TEST(TerminalsInUse, EveryTtyTheKernelListsAsAConsoleIsRefused) {
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  kavrel_test::ConsoleList consoles;
  ASSERT_TRUE(consoles.ok());
  consoles.AddTty("ttyS7", pair.path());
  consoles.AddTty("ttyFRONT", pair.path());
  consoles.SetInFront("tty0", "ttyFRONT");
  consoles.AddTty("ttyS8", "/dev/null");  // numbers of another device
  const struct {
    const char* active;
    bool refused;
  } rows[] = {
      {"ttyS7", true},        // the pty is the console
      {"ttyS8 ttyS7", true},  // one of several
      {"tty0", true},         // the console in front is the pty
      {"ttyS8", false},       // another device is
      {"", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.active);
    consoles.SetActive(row.active);
    if (row.refused) {
      ExpectRefused(pair.name(), p::ERROR_ACCESS_DENIED, "the system console");
    } else {
      const HANDLE port = Open(pair.name());
      EXPECT_NE(port, kavrel::INVALID_HANDLE_VALUE);
      p::CloseHandle(port);
    }
  }
}

TEST(UucpLocks, ALockNamingALiveProcessKeepsThePortAndNamesIt) {
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  LockDirectory locks;
  // The parent of this test runs as long as the test does.
  const std::string held = LockText(getppid());
  locks.Write(pair.name(), held);
  ExpectRefused(pair.name(), p::ERROR_ACCESS_DENIED,
                "in use by another program (pid " + std::to_string(getppid()) + ")");
  EXPECT_EQ(locks.Read(pair.name()), held);
}

TEST(UucpLocks, AStaleLockIsReplacedAndTheLockLastsAsLongAsThePort) {
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  LockDirectory locks;
  // No lock; a pid above any pid_max; text that names no process; nothing.
  for (const char* stale : {"(none)", "  99999999\n", "uucp\n", ""}) {
    SCOPED_TRACE(testing::Message() << "lock before: '" << stale << "'");
    if (std::string(stale) != "(none)") locks.Write(pair.name(), stale);
    const HANDLE port = Open(pair.name());
    ASSERT_NE(port, kavrel::INVALID_HANDLE_VALUE);
    EXPECT_EQ(locks.Read(pair.name()), LockText(getpid()));
    p::CloseHandle(port);
    EXPECT_EQ(locks.Read(pair.name()), "(none)");
  }
}

TEST(UucpLocks, AnOpenRefusedAfterTheLockWasTakenLeavesNone) {
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  LockDirectory locks;
  // A holder that takes flock() but no lock file: found only once the lock
  // file is taken and the device opened.
  const int holder = open(pair.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  ExpectRefused(pair.name(), p::ERROR_ACCESS_DENIED, "already open in this program");
  close(holder);
  EXPECT_EQ(locks.Read(pair.name()), "(none)");
}

TEST(UucpLocks, WithoutAWritableLockDirectoryThePortOpensUnlocked) {
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  struct stat info {};
  if (stat("/sys", &info) != 0) GTEST_SKIP() << "no /sys here";
  const struct {
    const char* directory;
    bool traced;
  } rows[] = {
      {"/nonexistent/kavrel-locks", false},  // lock files are not in use here
      {"/sys", true},                        // a directory nobody, not even root, may write
      {"", false},                           // lock files switched off
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.directory);
    LockDirectory locks(row.directory);
    kavrel_test::HostCapture host;
    const HANDLE port = Open(pair.name());
    EXPECT_NE(port, kavrel::INVALID_HANDLE_VALUE);
    p::CloseHandle(port);
    const auto traces = host.traces();
    EXPECT_EQ(traces.size(), row.traced ? 1u : 0u);
    if (row.traced && !traces.empty()) {
      EXPECT_NE(traces[0].find("opened without a lock file"), std::string::npos) << traces[0];
    }
  }
}

}  // namespace
