// Named ports: what a name and a target may be, the ports file's format and
// the trust it needs, the order names are looked up in, and that a named
// device passes every check a device name does.
#include "kavrel/named_ports.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "kavrel/errors.h"
#include "platform/linux/device_names.h"
#include "platform/linux/named_ports.h"
#include "platform/linux/ports_file.h"
#include "platform/platform.h"
#include "platform/port_discovery.h"
#include "port_fixture.h"
#include "support/host_capture.h"
#include "support/pty_pair.h"

namespace {

namespace p = kavrel::platform;
namespace x = kavrel::platform::driver;

TEST(NamedPorts, NamesAndTargetsFollowTheirSyntax) {
  for (const char* name : {"a", "COM7", "dut_2-b", "123456789"}) {
    EXPECT_TRUE(kavrel::NamePort(name, "/dev/ttyS0")) << name;
    EXPECT_TRUE(kavrel::RemovePortName(name)) << name;
  }
  for (const char* name : {"", "1234567890", "pts/3", "a b", "a.b", "..", "\xC3\xA9"}) {
    EXPECT_FALSE(kavrel::NamePort(name, "/dev/ttyS0")) << name;
    EXPECT_EQ(kavrel::GetLastErrorReason().code, p::ERROR_INVALID_NAME) << name;
  }
  EXPECT_FALSE(kavrel::NamePort(nullptr, "/dev/ttyS0"));
  EXPECT_FALSE(kavrel::NamePort("lab1", nullptr));
  EXPECT_FALSE(kavrel::RemovePortName("lab1"));
  EXPECT_EQ(kavrel::GetLastErrorReason().code, p::ERROR_NOT_FOUND);

  x::PortTarget target;
  std::string why;
  ASSERT_TRUE(x::ParsePortTarget("/tmp/ttyV0", &target, &why));
  EXPECT_EQ(target.device, "/tmp/ttyV0");
  const struct {
    const char* text;
    const char* host;
    unsigned port;
  } endpoints[] = {{"rfc2217://127.0.0.1:2217", "127.0.0.1", 2217},
                   {"RFC2217://term-srv.lab:1", "term-srv.lab", 1},
                   {"rfc2217://[::1]:65535", "::1", 65535}};
  for (const auto& row : endpoints) {
    ASSERT_TRUE(x::ParsePortTarget(row.text, &target, &why)) << row.text;
    EXPECT_EQ(target.kind, x::PortTarget::Kind::kRfc2217);
    EXPECT_EQ(target.endpoint.host, row.host);
    EXPECT_EQ(target.endpoint.port, row.port);
  }
  for (const char* text :
       {"", "ttyUSB0", "/dev/../etc/passwd", "/dev//ttyS0", "/dev/tty\x01", "rfc2217://host",
        "rfc2217://host:0", "rfc2217://host:65536", "rfc2217://host:022", "rfc2217://host:2217/",
        "rfc2217://user@host:2217", "rfc2217://-host:2217", "rfc2217://[zz::1]:2217",
        "rfc2217://::1:2217", "tcp://host:2217"}) {
    EXPECT_FALSE(kavrel::NamePort("lab1", text)) << text;
    EXPECT_EQ(kavrel::GetLastErrorReason().code, p::ERROR_INVALID_PARAMETER) << text;
  }
}

TEST(PortsFile, EntriesCommentsAndBadLinesAreReadAsDocumented) {
  kavrel_test::HostCapture capture;
  const std::vector<x::PortsFileEntry> entries = x::ParsePortsFile(
      "# Ports of the lab\n\n"
      "lab1 /dev/serial/by-id/usb-FTDI_A  # the bench supply\n"
      "  \tdut\trfc2217://10.0.0.5:2001\r\n"
      "lab2\n"
      "lab3 /dev/ttyS0 extra\n"
      "waytoolong1 /dev/ttyS0\n"
      "lab4 ttyS0\n"
      "lab1 /dev/ttyS1\n"
      "lab6 /dev/ttyS3#not-a-comment",
      "/etc/kavrel/ports");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name + " " + entries[0].target.text, "lab1 /dev/serial/by-id/usb-FTDI_A");
  EXPECT_EQ(entries[1].name + " " + entries[1].target.text, "dut rfc2217://10.0.0.5:2001");
  EXPECT_EQ(entries[2].name + " " + entries[2].target.text, "lab6 /dev/ttyS3#not-a-comment");
  const std::string prefix = "Kavrel ports file /etc/kavrel/ports line ";
  EXPECT_EQ(capture.traces(),
            (std::vector<std::string>{
                prefix + "5 skipped: expected NAME TARGET\n",
                prefix + "6 skipped: expected NAME TARGET\n",
                prefix + "7 skipped: \"waytoolong1\" is not a port name (1 to 9 letters, "
                         "digits, '_' or '-')\n",
                prefix + "8 skipped: \"ttyS0\": neither an absolute device path nor "
                         "rfc2217://host:port\n",
                prefix + "9 skipped: \"lab1\" is named earlier in the file\n"}));
}

// A private directory under /tmp (sticky, so trusted), removed with all in it.
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
  // Writes text to dir_/leaf with mode (a directory when text is null).
  std::string Make(const std::string& leaf, const char* text, mode_t mode = 0644) {
    const std::string path = dir_ + "/" + leaf;
    if (text == nullptr) {
      EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
    } else {
      std::ofstream(path) << text;
    }
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
  }
  std::string dir_;
};

TEST_F(PortsScratch, AFileSomeoneElseCouldWriteIsRefusedWithATraceLine) {
  const char* const entry = "lab1 /dev/ttyS0\n";
  const std::string open = Make("open", nullptr, 0777);
  Make("sticky", nullptr, 01777);
  Make("trusted", entry);
  Make("open/target", entry);
  ASSERT_EQ(symlink((open + "/../trusted").c_str(), (open + "/link-in-open").c_str()), 0);
  ASSERT_EQ(symlink((open + "/target").c_str(), (dir_ + "/link-to-open").c_str()), 0);
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  const std::string writable = "its group or others may write it";
  const struct {
    std::string path;
    x::PortsFileStatus status;
    std::string why;  // the end of the trace line
  } rows[] = {
      {dir_ + "/trusted", x::PortsFileStatus::kRead, ""},
      {Make("sticky/ports", entry, 0400), x::PortsFileStatus::kRead, ""},
      {Make("group", entry, 0664), x::PortsFileStatus::kRefused, "the file is " + writable},
      {Make("others", entry, 0646), x::PortsFileStatus::kRefused, "the file is " + writable},
      {open + "/target", x::PortsFileStatus::kRefused, "directory " + open + " is " + writable},
      {open + "/link-in-open", x::PortsFileStatus::kRefused,
       "directory " + open + " is " + writable},
      {dir_ + "/link-to-open", x::PortsFileStatus::kRefused,
       "directory " + open + " is " + writable},
      {dir_ + "/fifo", x::PortsFileStatus::kRefused, "not a regular file"},
      {"relative/ports", x::PortsFileStatus::kRefused, "not an absolute path"},
      {dir_ + "/missing", x::PortsFileStatus::kAbsent, "no such file"},
  };
  for (const auto& row : rows) {
    kavrel_test::HostCapture capture;
    std::vector<x::PortsFileEntry> entries;
    EXPECT_EQ(x::ReadPortsFile(row.path, true, &entries), row.status) << row.path;
    EXPECT_EQ(entries.size(), row.why.empty() ? 1u : 0u) << row.path;
    const std::string line = "Kavrel ports file " + row.path + " ignored: " + row.why + "\n";
    EXPECT_EQ(capture.traces(),
              row.why.empty() ? std::vector<std::string>{} : std::vector<std::string>{line});
  }
  // A missing system file is the usual case and goes untraced.
  kavrel_test::HostCapture capture;
  std::vector<x::PortsFileEntry> entries;
  EXPECT_EQ(x::ReadPortsFile(dir_ + "/missing", false, &entries), x::PortsFileStatus::kAbsent);
  // Only root and the user running the library may own it.
  if (geteuid() == 0) {
    const std::string foreign = Make("foreign", entry);
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    EXPECT_EQ(x::ReadPortsFile(foreign, true, &entries), x::PortsFileStatus::kRefused);
    EXPECT_EQ(capture.traces(),
              std::vector<std::string>{"Kavrel ports file " + foreign +
                                       " ignored: the file is owned by uid 65534, neither root "
                                       "nor this user\n"});
  }
}

TEST_F(PortsScratch, RunTimeNamesComeFirstThenTheUserFileThenTheSystemFile) {
  const x::PortsFiles files = {
      Make("user", "both /dev/user-both\nuser /dev/user-only\n"),
      Make("system", "both /dev/system-both\nsystem /dev/system-only\nrun /dev/system-run\n")};
  ASSERT_TRUE(kavrel::NamePort("run", "rfc2217://localhost:2217"));
  std::vector<std::string> listed;
  for (const kavrel::NamedPort& port : x::ListNamedPorts(files)) {
    listed.push_back(port.name + " " + port.target + " " + port.source);
    x::PortTarget target;
    ASSERT_TRUE(x::LookUpPortName(port.name, files, &target)) << port.name;
    EXPECT_EQ(target.text, port.target);
  }
  EXPECT_EQ(listed,
            (std::vector<std::string>{
                "run rfc2217://localhost:2217 run time", "both /dev/user-both " + files.user,
                "user /dev/user-only " + files.user, "system /dev/system-only " + files.system}));
  x::PortTarget target;
  EXPECT_FALSE(x::LookUpPortName("other", files, &target));
  // Removing the run-time name lets the file's entry apply again.
  ASSERT_TRUE(kavrel::RemovePortName("run"));
  ASSERT_TRUE(x::LookUpPortName("run", files, &target));
  EXPECT_EQ(target.text, "/dev/system-run");
}

kavrel::DWORD OpenAndClose(const std::string& name) {
  p::SetLastError(p::ERROR_SUCCESS);
  const kavrel::HANDLE port = p::CreateFileA(kavrel_platform_test::DevicePath(name).c_str(),
                                             p::GENERIC_READ | p::GENERIC_WRITE, 0, nullptr,
                                             p::OPEN_EXISTING, p::FILE_FLAG_OVERLAPPED, 0);
  if (port == kavrel::INVALID_HANDLE_VALUE) return p::GetLastError();
  p::CloseHandle(port);
  return p::ERROR_SUCCESS;
}

TEST_F(PortsScratch, ANamedDevicePassesEveryCheckADirectNameDoesAtEveryOpen) {
  kavrel_test::PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  // A link such as socat's link= option makes, outside /dev.
  ASSERT_EQ(symlink(pair.path().c_str(), (dir_ + "/ttyV0").c_str()), 0);
  const struct {
    std::string target;
    kavrel::DWORD error;
  } rows[] = {
      {pair.path(), p::ERROR_SUCCESS},
      {dir_ + "/ttyV0", p::ERROR_SUCCESS},
      {"/dev/null", p::ERROR_FILE_NOT_FOUND},
      {Make("file", ""), p::ERROR_INVALID_NAME},
      {"/dev/ttyNONE9", p::ERROR_FILE_NOT_FOUND},
  };
  // Named through the file KAVREL_PORTS names, rewritten before each open.
  const char* before = getenv(x::kUserPortsVariable);
  const std::string saved = before == nullptr ? "" : before;
  const std::string file = Make("ports", "");
  ASSERT_EQ(setenv(x::kUserPortsVariable, file.c_str(), 1), 0);
  for (const auto& row : rows) {
    std::ofstream(file) << "lab1 " << row.target << "\n";
    EXPECT_EQ(OpenAndClose("lab1"), row.error) << row.target;
  }
  // An unmapped name still names a device under /dev.
  EXPECT_EQ(OpenAndClose(pair.name()), p::ERROR_SUCCESS);
  // A network port resolves to its endpoint alone: the network transport
  // opens it (tests/network).
  std::ofstream(file) << "net rfc2217://127.0.0.1:2217\n";
  x::DeviceNode node;
  EXPECT_EQ(x::ResolveDevice("\\\\.\\net", &node), p::ERROR_SUCCESS);
  ASSERT_TRUE(node.network.has_value());
  EXPECT_EQ(node.network->host + ":" + std::to_string(node.network->port), "127.0.0.1:2217");

  // Port discovery gives a port the names that lead to it, by any path, in
  // the order they take effect; a network port or a missing device is no
  // port's.
  ASSERT_TRUE(kavrel::NamePort("run", pair.path().c_str()));
  std::ofstream(file) << "lab1 " << dir_ << "/ttyV0\nlab2 " << pair.path()
                      << "\nnet rfc2217://127.0.0.1:2217\nnone /dev/ttyNONE9\n";
  kavrel_test::PtyPair other;
  std::vector<kavrel::SerialPortInfo> ports(2);
  ports[0].devicePath = pair.path();
  ports[1].devicePath = other.path();
  p::FillMappedNames(ports);
  EXPECT_EQ(ports[0].mappedNames, (std::vector<std::string>{"run", "lab1", "lab2"}));
  EXPECT_TRUE(ports[1].mappedNames.empty());
  EXPECT_TRUE(kavrel::RemovePortName("run"));
  if (before == nullptr) {
    unsetenv(x::kUserPortsVariable);
  } else {
    setenv(x::kUserPortsVariable, saved.c_str(), 1);
  }
}

}  // namespace
