#include "support/port_users.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/testing.h"

namespace kavrel_test {

namespace {

constexpr char kLockDirectoryVariable[] = "KAVREL_LOCK_DIR";

std::string TemporaryDirectory(const char* stem) {
  std::string pattern = std::string("/tmp/") + stem + "-XXXXXX";
  return mkdtemp(&pattern[0]) != nullptr ? pattern : std::string();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace

ProcessOnTerminal::ProcessOnTerminal(const std::string& path, Hold hold) {
  // The child says it holds the terminal over the link, then holds it until
  // the parent closes its end.
  int link[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link) != 0) return;
  const char* terminal = path.c_str();
  child_ = fork();
  if (child_ == 0) {
    // Only async-signal-safe calls: the parent may run threads. The child
    // keeps no descriptor of the parent's but its end of the link, so that
    // the parent's closes (a pty master's, a port's) take effect.
    if (dup2(link[1], 3) != 3) _exit(1);
    close_range(4, ~0U, 0);
    const bool session = hold == Hold::kAsControllingTerminal;
    if (session && setsid() < 0) _exit(1);
    const int fd = open(terminal, O_RDWR | O_NOCTTY);
    if (fd < 0 || (session ? ioctl(fd, TIOCSCTTY, 0) : flock(fd, LOCK_EX | LOCK_NB)) != 0) {
      _exit(1);
    }
    char byte = 1;
    if (write(3, &byte, 1) != 1) _exit(1);
    while (read(3, &byte, 1) > 0) {
    }
    _exit(0);
  }
  close(link[1]);
  link_ = link[0];
  char up = 0;
  ok_ = child_ > 0 && read(link_, &up, 1) == 1;
}

ProcessOnTerminal::~ProcessOnTerminal() { End(); }

void ProcessOnTerminal::End() {
  if (link_ >= 0) close(link_);
  link_ = -1;
  if (child_ > 0) waitpid(child_, nullptr, 0);
  child_ = -1;
  ok_ = false;
}

LockDirectory::LockDirectory() : LockDirectory(TemporaryDirectory("kavrel-locks")) {
  owned_ = !path_.empty();
}

// The tests run with the variable unset.
LockDirectory::LockDirectory(const std::string& existing) : path_(existing) {
  setenv(kLockDirectoryVariable, path_.c_str(), 1);
}

LockDirectory::~LockDirectory() {
  unsetenv(kLockDirectoryVariable);
  std::error_code ignored;
  if (owned_) std::filesystem::remove_all(path_, ignored);
}

std::string LockDirectory::LockOf(const std::string& portName) const {
  std::string name = portName;
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return path_ + "/LCK.." + name;
}

std::string LockDirectory::Read(const std::string& portName) const {
  std::ifstream file(LockOf(portName), std::ios::binary);
  if (!file) return "(none)";
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void LockDirectory::Write(const std::string& portName, const std::string& text) const {
  WriteFile(LockOf(portName), text);
}

std::string LockText(pid_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}

ConsoleList::ConsoleList() : path_(TemporaryDirectory("kavrel-ttys")) {
  if (ok()) kavrel::platform::testing::SetTtyClassDirectory(path_);
}

ConsoleList::~ConsoleList() {
  if (!ok()) return;
  kavrel::platform::testing::SetTtyClassDirectory(std::string());
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void ConsoleList::SetActive(const std::string& names) const {
  WriteFile(path_ + "/console/active", names + "\n");
}

void ConsoleList::AddTty(const std::string& name, const std::string& devicePath) const {
  struct stat info {};
  if (stat(devicePath.c_str(), &info) != 0) return;
  WriteFile(path_ + "/" + name + "/dev",
            std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev)) + "\n");
}

void ConsoleList::SetInFront(const std::string& name, const std::string& inFront) const {
  WriteFile(path_ + "/" + name + "/active", inFront + "\n");
}

}  // namespace kavrel_test
