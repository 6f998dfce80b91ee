// Which names may open a port, and that every refused name is refused before
// anything is opened.
#include "platform/linux/device_names.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/testing.h"
#include "port_fixture.h"
#include "support/pty_pair.h"
#include "support/resource_count.h"

namespace {

namespace p = kavrel::platform;
namespace x = kavrel::platform::driver;
using kavrel_platform_test::DevicePath;

TEST(DeviceNames, OnlyTheWin32DevicePrefixIsAccepted) {
  std::string name;
  EXPECT_TRUE(x::DeviceNameFromPath("\\\\.\\ttyS0", &name));
  EXPECT_EQ(name, "ttyS0");
  EXPECT_TRUE(x::DeviceNameFromPath("\\\\.\\pts/3", &name));
  EXPECT_EQ(name, "pts/3");
  for (const char* path : {"ttyS0", "/dev/ttyS0", "\\\\?\\ttyS0", "\\\\.ttyS0", "\\.\\ttyS0"}) {
    EXPECT_FALSE(x::DeviceNameFromPath(path, &name)) << path;
  }
  EXPECT_FALSE(x::DeviceNameFromPath(nullptr, &name));
}

TEST(DeviceNames, NamesThatCouldLeaveDevOrHideBytesAreNotAcceptable) {
  for (const char* good : {"ttyS0", "ttyUSB0", "pts/3", "serial/by-id/usb-x"}) {
    EXPECT_TRUE(x::IsAcceptableDeviceName(good)) << good;
  }
  const std::string bad[] = {"",
                             "/dev/ttyS0",
                             "..",
                             "../etc/passwd",
                             "pts/../null",
                             "pts/./3",
                             "pts//3",
                             "pts/",
                             "./ttyS0",
                             std::string("tty\x01S0"),
                             "ttyS0\x7f",
                             "pts\\3",
                             "tty\nS0",
                             std::string("a/..", 4)};
  for (const std::string& name : bad) EXPECT_FALSE(x::IsAcceptableDeviceName(name)) << name;
}

TEST(DeviceNames, ComPortsMapToTheMatchingTtyS) {
  const struct {
    const char* name;
    const char* alias;
  } rows[] = {
      {"COM1", "ttyS0"}, {"COM12", "ttyS11"}, {"com3", "ttyS2"}, {"Com256", "ttyS255"},
      {"COM0", ""},      {"COM01", ""},       {"COM", ""},       {"COMx", ""},
      {"COM1a", ""},     {"XCOM1", ""},       {"COM-1", ""},     {"COM1234567890", ""},
      {"ttyS0", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(x::ComPortAlias(row.name), row.alias) << row.name;
}

TEST(DeviceNames, ComPortResolvesToTtySWhenNoDeviceHasItsName) {
  struct stat info {};
  if (stat("/dev/COM1", &info) == 0) GTEST_SKIP() << "/dev/COM1 exists here";
  if (stat("/dev/ttyS0", &info) != 0) GTEST_SKIP() << "no /dev/ttyS0 here";
  // Only resolved, never opened: the machine's first UART may be its console.
  x::DeviceNode node;
  ASSERT_EQ(x::ResolveDevice("\\\\.\\COM1", &node), p::ERROR_SUCCESS);
  EXPECT_EQ(node.path, "/dev/ttyS0");
  EXPECT_EQ(node.kind, x::TtyKind::kTty);
}

TEST(DeviceNames, ClassificationAdmitsTtysAndPtySlavesOnly) {
  EXPECT_EQ(x::ClassifyCharacterDevice(136, 0), x::TtyKind::kPtySlave);
  EXPECT_EQ(x::ClassifyCharacterDevice(143, 9), x::TtyKind::kPtySlave);
  // /dev/tty, /dev/console, /dev/ptmx.
  for (unsigned minor : {0u, 1u, 2u}) {
    EXPECT_EQ(x::ClassifyCharacterDevice(5, minor), x::TtyKind::kNotAPort) << minor;
  }
  // A virtual console, /dev/null, /dev/watchdog, a number nothing uses.
  EXPECT_EQ(x::ClassifyCharacterDevice(4, 1), x::TtyKind::kNotAPort);
  EXPECT_EQ(x::ClassifyCharacterDevice(1, 3), x::TtyKind::kNotAPort);
  EXPECT_EQ(x::ClassifyCharacterDevice(10, 130), x::TtyKind::kNotAPort);
  EXPECT_EQ(x::ClassifyCharacterDevice(4095, 4095), x::TtyKind::kNotAPort);
  struct stat info {};
  if (stat("/dev/ttyS0", &info) == 0) {
    EXPECT_EQ(x::ClassifyCharacterDevice(major(info.st_rdev), minor(info.st_rdev)),
              x::TtyKind::kTty);
  }
}

TEST(DeviceNames, APtySlaveResolvesToItsCanonicalNode) {
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  x::DeviceNode node;
  ASSERT_EQ(x::ResolveDevice(DevicePath(pair.name()).c_str(), &node), p::ERROR_SUCCESS);
  EXPECT_EQ(node.path, pair.path());
  EXPECT_EQ(node.kind, x::TtyKind::kPtySlave);
}

TEST(DeviceNames, SystemNodesThatAreNotPortsAreRefused) {
  const struct {
    const char* name;
    kavrel::DWORD error;
  } rows[] = {
      {"null", p::ERROR_FILE_NOT_FOUND},       {"zero", p::ERROR_FILE_NOT_FOUND},
      {"tty", p::ERROR_FILE_NOT_FOUND},        {"console", p::ERROR_FILE_NOT_FOUND},
      {"ptmx", p::ERROR_FILE_NOT_FOUND},       {"pts/ptmx", p::ERROR_FILE_NOT_FOUND},
      {"tty1", p::ERROR_FILE_NOT_FOUND},       {"shm", p::ERROR_FILE_NOT_FOUND},
      {"pts", p::ERROR_FILE_NOT_FOUND},        {"ttyNONE9", p::ERROR_FILE_NOT_FOUND},
      {"fd/../../etc", p::ERROR_INVALID_NAME},
  };
  const kavrel_test::ResourceSnapshot before = kavrel_test::ResourceSnapshot::Take();
  for (const auto& row : rows) {
    struct stat info {};
    const std::string path = std::string("/dev/") + row.name;
    if (row.error == p::ERROR_FILE_NOT_FOUND && std::string(row.name) != "ttyNONE9" &&
        stat(path.c_str(), &info) != 0) {
      continue;  // not on this machine
    }
    p::SetLastError(p::ERROR_SUCCESS);
    EXPECT_EQ(p::CreateFileA(DevicePath(row.name).c_str(), p::GENERIC_READ | p::GENERIC_WRITE, 0,
                             nullptr, p::OPEN_EXISTING, p::FILE_FLAG_OVERLAPPED, 0),
              kavrel::INVALID_HANDLE_VALUE)
        << row.name;
    EXPECT_EQ(p::GetLastError(), row.error) << row.name;
  }
  const kavrel_test::ResourceSnapshot after = kavrel_test::ResourceSnapshot::TakeSettled(before);
  EXPECT_EQ(after.descriptors, before.descriptors);
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_EQ(after.handles, before.handles);
}

// A private directory under /dev/shm, watched for any open of what is in it.
class WatchedScratch : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/dev/shm/kavrel-names-XXXXXX";
    if (mkdtemp(dir) == nullptr) GTEST_SKIP() << "no /dev/shm here";
    dir_ = dir;
    char outside[] = "/tmp/kavrel-outside-XXXXXX";
    if (mkdtemp(outside) == nullptr) GTEST_SKIP() << "no /tmp here";
    outside_ = outside;
    watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch_, 0);
    ASSERT_GE(inotify_add_watch(watch_, dir_.c_str(), IN_OPEN), 0);
    ASSERT_GE(inotify_add_watch(watch_, outside_.c_str(), IN_OPEN), 0);
  }
  void TearDown() override {
    if (watch_ >= 0) close(watch_);
    RemoveFlatDirectory(dir_);
    RemoveFlatDirectory(outside_);
  }
  // The scratch directories hold files, links and empty directories only.
  static void RemoveFlatDirectory(const std::string& path) {
    if (path.empty()) return;
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string full = path + "/" + name;
        if (unlink(full.c_str()) != 0) rmdir(full.c_str());
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  }
  // The name of dir_/leaf relative to /dev.
  std::string NameOf(const std::string& leaf) const {
    return dir_.substr(std::string("/dev/").size()) + "/" + leaf;
  }
  bool AnythingOpened() {
    char events[4096];
    return read(watch_, events, sizeof events) > 0;
  }

  std::string dir_;
  std::string outside_;
  int watch_ = -1;
};

TEST_F(WatchedScratch, FilesFifosDirectoriesAndEscapingLinksAreNeverOpened) {
  const std::string file = dir_ + "/file";
  FILE* created = std::fopen(file.c_str(), "w");
  ASSERT_NE(created, nullptr);
  std::fclose(created);
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkdir((dir_ + "/dir").c_str(), 0700), 0);
  const std::string target = outside_ + "/target";
  created = std::fopen(target.c_str(), "w");
  ASSERT_NE(created, nullptr);
  std::fclose(created);
  ASSERT_EQ(symlink(target.c_str(), (dir_ + "/escape").c_str()), 0);
  AnythingOpened();  // the setup's own opens

  const struct {
    const char* leaf;
    kavrel::DWORD error;
  } rows[] = {
      {"file", p::ERROR_FILE_NOT_FOUND},    {"fifo", p::ERROR_FILE_NOT_FOUND},
      {"dir", p::ERROR_FILE_NOT_FOUND},     {"escape", p::ERROR_INVALID_NAME},
      {"missing", p::ERROR_FILE_NOT_FOUND},
  };
  for (const auto& row : rows) {
    p::SetLastError(p::ERROR_SUCCESS);
    EXPECT_EQ(
        p::CreateFileA(DevicePath(NameOf(row.leaf)).c_str(), p::GENERIC_READ | p::GENERIC_WRITE, 0,
                       nullptr, p::OPEN_EXISTING, p::FILE_FLAG_OVERLAPPED, 0),
        kavrel::INVALID_HANDLE_VALUE)
        << row.leaf;
    EXPECT_EQ(p::GetLastError(), row.error) << row.leaf;
    EXPECT_FALSE(AnythingOpened()) << row.leaf;
  }
}

TEST_F(WatchedScratch, ALinkToAPtyOpensThePty) {
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  ASSERT_EQ(symlink(pair.path().c_str(), (dir_ + "/port").c_str()), 0);
  const kavrel::HANDLE port =
      p::CreateFileA(DevicePath(NameOf("port")).c_str(), p::GENERIC_READ | p::GENERIC_WRITE, 0,
                     nullptr, p::OPEN_EXISTING, p::FILE_FLAG_OVERLAPPED, 0);
  ASSERT_NE(port, kavrel::INVALID_HANDLE_VALUE);
  p::CloseHandle(port);
}

TEST(CreateFile, ArgumentsAWin32PortRefusesAreRefused) {
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  const std::string path = DevicePath(pair.name());
  const struct {
    const char* what;
    kavrel::DWORD access, share, disposition, flags, error;
  } rows[] = {
      {"no access", 0, 0, p::OPEN_EXISTING, p::FILE_FLAG_OVERLAPPED, p::ERROR_INVALID_PARAMETER},
      {"shared", p::GENERIC_READ | p::GENERIC_WRITE, 1, p::OPEN_EXISTING, p::FILE_FLAG_OVERLAPPED,
       p::ERROR_SHARING_VIOLATION},
      {"create", p::GENERIC_READ | p::GENERIC_WRITE, 0, 2, p::FILE_FLAG_OVERLAPPED,
       p::ERROR_INVALID_PARAMETER},
      {"not overlapped", p::GENERIC_READ | p::GENERIC_WRITE, 0, p::OPEN_EXISTING,
       p::FILE_ATTRIBUTE_NORMAL, p::ERROR_INVALID_PARAMETER},
  };
  const kavrel_test::ResourceSnapshot before = kavrel_test::ResourceSnapshot::Take();
  for (const auto& row : rows) {
    p::SetLastError(p::ERROR_SUCCESS);
    EXPECT_EQ(
        p::CreateFileA(path.c_str(), row.access, row.share, nullptr, row.disposition, row.flags, 0),
        kavrel::INVALID_HANDLE_VALUE)
        << row.what;
    EXPECT_EQ(p::GetLastError(), row.error) << row.what;
  }
  EXPECT_EQ(kavrel_test::OpenDescriptorCount(), before.descriptors);
  EXPECT_EQ(p::testing::LiveHandleCount(), before.handles);
}

}  // namespace
