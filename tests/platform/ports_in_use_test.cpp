// A terminal in use is left alone until it is free, and the UUCP lock the
// library takes lasts exactly as long as its port. (What each refusal says
// is checked by the reliability suite's RefusalReasons table.)
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

TEST(TerminalsInUse, ASessionsTerminalIsLeftAloneUntilTheSessionEnds) {
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
  EXPECT_EQ(Open(pair.name()), kavrel::INVALID_HANDLE_VALUE);
  termios after{};
  ASSERT_EQ(tcgetattr(pair.master(), &after), 0);
  EXPECT_EQ(after.c_lflag, cooked.c_lflag);

  session.End();
  const HANDLE port = Open(pair.name());
  EXPECT_NE(port, kavrel::INVALID_HANDLE_VALUE);
  p::CloseHandle(port);
}

TEST(UucpLocks, AStaleLockIsReplacedAndNoLockOutlivesItsPort) {
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
  // Another open holds flock() but no lock file: the open is refused only
  // after it took the lock file, and gives it back.
  const int holder = open(pair.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(Open(pair.name()), kavrel::INVALID_HANDLE_VALUE);
  close(holder);
  EXPECT_EQ(locks.Read(pair.name()), "(none)");
}

TEST(UucpLocks, WithoutAWritableLockDirectoryThePortOpensUnlocked) {
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  // No such directory: lock files are not used here. /sys: a directory
  // nobody, root included, may write. Empty: lock files switched off.
  for (const char* directory : {"/nonexistent/kavrel-locks", "/sys", ""}) {
    SCOPED_TRACE(directory);
    LockDirectory locks(directory);
    kavrel_test::HostCapture host;
    const HANDLE port = Open(pair.name());
    EXPECT_NE(port, kavrel::INVALID_HANDLE_VALUE);
    p::CloseHandle(port);
    const bool traced = std::string(directory) == "/sys";
    ASSERT_EQ(host.traces().size(), traced ? 1u : 0u);
    if (traced) {
      EXPECT_NE(host.traces()[0].find("opened without a lock file"), std::string::npos);
    }
  }
}

}  // namespace
