// Named ports: what a name and a target may be, the ports file's format and
// the trust it needs, the order names are looked up in, and that a named
// device passes every check a device name does.
#include "kavrel/named_ports.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kavrel/errors.h"
#include "platform/linux/device_names.h"
#include "platform/linux/named_ports.h"
#include "platform/linux/ports_file.h"
#include "platform/platform.h"
#include "port_fixture.h"
#include "support/host_capture.h"
#include "support/pty_pair.h"

namespace {

namespace p = kavrel::platform;
namespace x = kavrel::platform::driver;
using kavrel_platform_test::DevicePath;

TEST(NamedPorts, NamesAndTargetsFollowTheirSyntax) {
  for (const char* good : {"a", "lab1", "COM7", "dut_2-b", "123456789"}) {
    EXPECT_TRUE(x::IsValidPortName(good)) << good;
  }
  for (const char* bad : {"", "1234567890", "pts/3", "a b", "a.b", "..", "é", "a\n"}) {
    EXPECT_FALSE(x::IsValidPortName(bad)) << bad;
  }

  const struct {
    const char* text;
    x::PortTarget::Kind kind;
    const char* where;  // the device path, or the host
    unsigned port;
  } valid[] = {
      {"/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", x::PortTarget::Kind::kDevice,
       "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", 0},
      {"/tmp/ttyV0", x::PortTarget::Kind::kDevice, "/tmp/ttyV0", 0},
      {"rfc2217://127.0.0.1:2217", x::PortTarget::Kind::kRfc2217, "127.0.0.1", 2217},
      {"RFC2217://term-srv.lab:1", x::PortTarget::Kind::kRfc2217, "term-srv.lab", 1},
      {"rfc2217://[::1]:65535", x::PortTarget::Kind::kRfc2217, "::1", 65535},
  };
  for (const auto& row : valid) {
    x::PortTarget target;
    std::string why;
    ASSERT_TRUE(x::ParsePortTarget(row.text, &target, &why)) << row.text << ": " << why;
    EXPECT_EQ(target.kind, row.kind) << row.text;
    EXPECT_EQ(target.text, row.text);
    if (row.kind == x::PortTarget::Kind::kDevice) {
      EXPECT_EQ(target.device, row.where);
    } else {
      EXPECT_EQ(target.endpoint.host, row.where);
      EXPECT_EQ(target.endpoint.port, row.port);
    }
  }
  for (const char* text : {"",
                           "ttyUSB0",
                           "dev/ttyUSB0",
                           "/dev/../etc/passwd",
                           "/dev//ttyS0",
                           "/dev/tty\x01",
                           "/dev/tty\\S0",
                           "rfc2217://host",
                           "rfc2217://host:0",
                           "rfc2217://host:65536",
                           "rfc2217://host:022",
                           "rfc2217://host:+22",
                           "rfc2217://:2217",
                           "rfc2217://host:2217/",
                           "rfc2217://host:2217?x",
                           "rfc2217://user@host:2217",
                           "rfc2217://-host:2217",
                           "rfc2217://a..b:2217",
                           "rfc2217://[zz::1]:2217",
                           "rfc2217://::1:2217",
                           "tcp://host:2217"}) {
    x::PortTarget target;
    std::string why;
    EXPECT_FALSE(x::ParsePortTarget(text, &target, &why)) << text;
    EXPECT_FALSE(why.empty()) << text;
  }
}

TEST(PortsFile, EntriesCommentsAndBadLinesAreReadAsDocumented) {
  kavrel_test::HostCapture capture;
  const std::string text =
      "# Ports of the lab\n"
      "\n"
      "lab1 /dev/serial/by-id/usb-FTDI_A  # the bench supply\n"
      "  \tdut\trfc2217://10.0.0.5:2001\r\n"
      "lab2\n"
      "lab3 /dev/ttyS0 extra\n"
      "waytoolong1 /dev/ttyS0\n"
      "lab4 ttyS0\n"
      "lab1 /dev/ttyS1\n"
      "#lab5 /dev/ttyS2\n"
      "lab6 /dev/ttyS3#not-a-comment";
  const std::vector<x::PortsFileEntry> entries = x::ParsePortsFile(text, "/etc/kavrel/ports");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "lab1");
  EXPECT_EQ(entries[0].target.device, "/dev/serial/by-id/usb-FTDI_A");
  EXPECT_EQ(entries[1].name, "dut");
  EXPECT_EQ(entries[1].target.endpoint.host, "10.0.0.5");
  EXPECT_EQ(entries[2].name, "lab6");
  EXPECT_EQ(entries[2].target.device, "/dev/ttyS3#not-a-comment");

  const std::vector<std::string> expected = {
      "Kavrel ports file /etc/kavrel/ports line 5 skipped: expected NAME TARGET\n",
      "Kavrel ports file /etc/kavrel/ports line 6 skipped: expected NAME TARGET\n",
      "Kavrel ports file /etc/kavrel/ports line 7 skipped: \"waytoolong1\" is not a port name (1 "
      "to 9 letters, digits, '_' or '-')\n",
      "Kavrel ports file /etc/kavrel/ports line 8 skipped: \"ttyS0\": neither an absolute device "
      "path nor rfc2217://host:port\n",
      "Kavrel ports file /etc/kavrel/ports line 9 skipped: \"lab1\" is named earlier in the file\n",
  };
  EXPECT_EQ(capture.traces(), expected);
}

// A private directory tree under /tmp (which is sticky, so trusted) for
// ports files, removed with everything in it.
class PortsScratch : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/kavrel-ports-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override { Remove(dir_); }

  static void Remove(const std::string& path) {
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") Remove(path + "/" + name);
      }
      closedir(dir);
      rmdir(path.c_str());
    } else {
      unlink(path.c_str());
    }
  }

  // Writes text to dir_/leaf with mode; returns the path.
  std::string Write(const std::string& leaf, const std::string& text, mode_t mode = 0644) {
    const std::string path = dir_ + "/" + leaf;
    FILE* file = std::fopen(path.c_str(), "w");
    EXPECT_NE(file, nullptr);
    if (file == nullptr) return path;
    std::fputs(text.c_str(), file);
    std::fclose(file);
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
  }

  std::string Directory(const std::string& leaf, mode_t mode) {
    const std::string path = dir_ + "/" + leaf;
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
  }

  std::string dir_;
};

TEST_F(PortsScratch, AFileSomeoneElseCouldWriteIsRefusedWithATraceLine) {
  const std::string entry = "lab1 /dev/ttyS0\n";
  const std::string openDir = Directory("open", 0777);
  Directory("sticky", 01777);
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  const std::string trusted = Write("trusted", entry);
  ASSERT_EQ(symlink((openDir + "/../trusted").c_str(), (openDir + "/link-in-open").c_str()), 0);
  Write("open/target", entry);
  ASSERT_EQ(symlink((openDir + "/target").c_str(), (dir_ + "/link-to-open").c_str()), 0);

  const struct {
    std::string path;
    x::PortsFileStatus status;
    std::string why;  // the end of the trace line
  } rows[] = {
      {trusted, x::PortsFileStatus::kRead, ""},
      {Write("readonly", entry, 0400), x::PortsFileStatus::kRead, ""},
      {Write("sticky/ports", entry), x::PortsFileStatus::kRead, ""},
      {Write("group", entry, 0664), x::PortsFileStatus::kRefused,
       "the file is its group or others may write it"},
      {Write("others", entry, 0646), x::PortsFileStatus::kRefused,
       "the file is its group or others may write it"},
      {openDir + "/target", x::PortsFileStatus::kRefused,
       "directory " + openDir + " is its group or others may write it"},
      {openDir + "/link-in-open", x::PortsFileStatus::kRefused,
       "directory " + openDir + " is its group or others may write it"},
      {dir_ + "/link-to-open", x::PortsFileStatus::kRefused,
       "directory " + openDir + " is its group or others may write it"},
      {dir_ + "/fifo", x::PortsFileStatus::kRefused, "not a regular file"},
      {dir_, x::PortsFileStatus::kRefused, "not a regular file"},
      {"relative/ports", x::PortsFileStatus::kRefused, "not an absolute path"},
      {dir_ + "/missing", x::PortsFileStatus::kAbsent, "no such file"},
  };
  for (const auto& row : rows) {
    kavrel_test::HostCapture capture;
    std::vector<x::PortsFileEntry> entries;
    EXPECT_EQ(x::ReadPortsFile(row.path, true, &entries), row.status) << row.path;
    EXPECT_EQ(entries.size(), row.status == x::PortsFileStatus::kRead ? 1u : 0u) << row.path;
    const std::vector<std::string> traces = capture.traces();
    if (row.why.empty()) {
      EXPECT_TRUE(traces.empty()) << row.path;
    } else {
      ASSERT_EQ(traces.size(), 1u) << row.path;
      EXPECT_EQ(traces[0], "Kavrel ports file " + row.path + " ignored: " + row.why + "\n");
    }
  }

  // A missing system file is the usual case and goes untraced.
  kavrel_test::HostCapture capture;
  std::vector<x::PortsFileEntry> entries;
  EXPECT_EQ(x::ReadPortsFile(dir_ + "/missing", false, &entries), x::PortsFileStatus::kAbsent);
  EXPECT_TRUE(capture.traces().empty());

  // Only root and the user running the library may own it.
  if (geteuid() == 0) {
    const std::string foreign = Write("foreign", entry);
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    EXPECT_EQ(x::ReadPortsFile(foreign, true, &entries), x::PortsFileStatus::kRefused);
    ASSERT_EQ(capture.traces().size(), 1u);
    EXPECT_EQ(capture.traces()[0], "Kavrel ports file " + foreign +
                                       " ignored: the file is owned by uid 65534, neither root "
                                       "nor this user\n");
  }
}

TEST_F(PortsScratch, RunTimeNamesComeFirstThenTheUserFileThenTheSystemFile) {
  const x::PortsFiles files = {
      Write("user", "both /dev/user-both\nuser /dev/user-only\n"),
      Write("system", "both /dev/system-both\nsystem /dev/system-only\nrun /dev/system-run\n")};
  ASSERT_TRUE(kavrel::NamePort("run", "rfc2217://localhost:2217"));
  const struct {
    const char* name;
    const char* target;  // empty: not a named port
  } rows[] = {
      {"run", "rfc2217://localhost:2217"},
      {"both", "/dev/user-both"},
      {"user", "/dev/user-only"},
      {"system", "/dev/system-only"},
      {"other", ""},
      {"pts/0", ""},
  };
  for (const auto& row : rows) {
    x::PortTarget target;
    EXPECT_EQ(x::LookUpPortName(row.name, files, &target), *row.target != '\0') << row.name;
    if (*row.target != '\0') {
      EXPECT_EQ(target.text, row.target) << row.name;
    }
  }

  const std::vector<kavrel::NamedPort> listed = x::ListNamedPorts(files);
  std::vector<std::string> lines;
  for (const kavrel::NamedPort& port : listed) {
    lines.push_back(port.name + " " + port.target + " " + port.source);
  }
  EXPECT_EQ(lines,
            (std::vector<std::string>{
                "run rfc2217://localhost:2217 run time", "both /dev/user-both " + files.user,
                "user /dev/user-only " + files.user, "system /dev/system-only " + files.system}));

  // Removing the run-time name lets the file's entry apply again.
  ASSERT_TRUE(kavrel::RemovePortName("run"));
  x::PortTarget target;
  ASSERT_TRUE(x::LookUpPortName("run", files, &target));
  EXPECT_EQ(target.text, "/dev/system-run");
}

TEST(NamedPorts, BadInputIsRefusedWithAReason) {
  const struct {
    const char* name;
    const char* target;
    kavrel::DWORD code;
  } rows[] = {
      {nullptr, "/dev/ttyS0", p::ERROR_INVALID_PARAMETER},
      {"lab1", nullptr, p::ERROR_INVALID_PARAMETER},
      {"pts/3", "/dev/ttyS0", p::ERROR_INVALID_NAME},
      {"lab123456", "/dev/ttyS0", p::ERROR_SUCCESS},
      {"lab1234567", "/dev/ttyS0", p::ERROR_INVALID_NAME},
      {"lab1", "ttyS0", p::ERROR_INVALID_PARAMETER},
      {"lab1", "rfc2217://host", p::ERROR_INVALID_PARAMETER},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(kavrel::NamePort(row.name, row.target), row.code == p::ERROR_SUCCESS)
        << (row.name ? row.name : "null");
    if (row.code != p::ERROR_SUCCESS) {
      EXPECT_EQ(kavrel::GetLastErrorReason().code, row.code);
      EXPECT_FALSE(kavrel::GetLastErrorReason().text.empty());
    }
  }
  EXPECT_TRUE(kavrel::RemovePortName("lab123456"));
  EXPECT_FALSE(kavrel::RemovePortName("lab123456"));
  EXPECT_EQ(kavrel::GetLastErrorReason().code, p::ERROR_NOT_FOUND);
  EXPECT_FALSE(kavrel::RemovePortName(nullptr));
}

kavrel::DWORD OpenAndClose(const std::string& name) {
  p::SetLastError(p::ERROR_SUCCESS);
  const kavrel::HANDLE port =
      p::CreateFileA(DevicePath(name).c_str(), p::GENERIC_READ | p::GENERIC_WRITE, 0, nullptr,
                     p::OPEN_EXISTING, p::FILE_FLAG_OVERLAPPED, 0);
  if (port == kavrel::INVALID_HANDLE_VALUE) return p::GetLastError();
  p::CloseHandle(port);
  return p::ERROR_SUCCESS;
}

TEST_F(PortsScratch, ANamedDevicePassesEveryCheckADirectNameDoes) {
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  // A link such as socat's link= option makes, outside /dev.
  ASSERT_EQ(symlink(pair.path().c_str(), (dir_ + "/ttyV0").c_str()), 0);
  Write("file", "");
  const struct {
    const char* name;
    std::string target;
    kavrel::DWORD error;
  } rows[] = {
      {"pty", pair.path(), p::ERROR_SUCCESS},
      {"link", dir_ + "/ttyV0", p::ERROR_SUCCESS},
      {"null", "/dev/null", p::ERROR_FILE_NOT_FOUND},
      {"file", dir_ + "/file", p::ERROR_INVALID_NAME},
      {"missing", "/dev/ttyNONE9", p::ERROR_FILE_NOT_FOUND},
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(kavrel::NamePort(row.name, row.target.c_str())) << row.name;
    EXPECT_EQ(OpenAndClose(row.name), row.error) << row.name;
    EXPECT_TRUE(kavrel::RemovePortName(row.name));
  }

  // A network port is recognised and refused with its reason until a
  // network transport takes it.
  ASSERT_TRUE(kavrel::NamePort("net", "rfc2217://127.0.0.1:2217"));
  x::DeviceNode node;
  EXPECT_EQ(x::ResolveDevice("\\\\.\\net", &node), p::ERROR_NOT_SUPPORTED);
  ASSERT_TRUE(node.network.has_value());
  EXPECT_EQ(node.network->host, "127.0.0.1");
  EXPECT_EQ(node.network->port, 2217);
  EXPECT_EQ(OpenAndClose("net"), p::ERROR_NOT_SUPPORTED);
  EXPECT_EQ(kavrel::GetLastErrorReason().text,
            "net is rfc2217://127.0.0.1:2217: network ports cannot be opened yet");
  EXPECT_TRUE(kavrel::RemovePortName("net"));
}

TEST_F(PortsScratch, TheFileNamedByTheEnvironmentIsReadAtEveryOpen) {
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  const char* before = getenv(x::kUserPortsVariable);
  const std::string saved = before == nullptr ? "" : before;
  const std::string file = Write("ports", "lab1 " + pair.path() + "\n");
  ASSERT_EQ(setenv(x::kUserPortsVariable, file.c_str(), 1), 0);

  EXPECT_EQ(OpenAndClose("lab1"), p::ERROR_SUCCESS);
  Write("ports", "lab1 /dev/null\n");
  EXPECT_EQ(OpenAndClose("lab1"), p::ERROR_FILE_NOT_FOUND);
  // An unmapped name still names a device under /dev.
  EXPECT_EQ(OpenAndClose(pair.name()), p::ERROR_SUCCESS);

  if (before == nullptr) {
    unsetenv(x::kUserPortsVariable);
  } else {
    setenv(x::kUserPortsVariable, saved.c_str(), 1);
  }
}

}  // namespace
