#include "platform/linux/terminals_in_use.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>

#include "platform/linux/retry_on_interrupt.h"
#include "platform/testing.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

constexpr char kTtyClassDirectory[] = "/sys/class/tty";

#if defined(KAVREL_FAULT_INJECTION)
std::mutex classDirectoryMutex;
std::string classDirectoryOverride;  // guarded by classDirectoryMutex
#endif

std::string TtyClassDirectory() {
#if defined(KAVREL_FAULT_INJECTION)
  std::lock_guard<std::mutex> lock(classDirectoryMutex);
  if (!classDirectoryOverride.empty()) return classDirectoryOverride;
#endif
  return kTtyClassDirectory;
}

// The start of a small file of the kernel's (sysfs and /proc files are far
// shorter than the buffer), relative to directory (AT_FDCWD for a path).
bool ReadSmallFile(int directory, const std::string& path, std::string* text) {
  const int fd = RetryOnInterrupt(
      [&] { return openat(directory, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW); });
  if (fd < 0) return false;
  char buffer[1024];
  const ssize_t got = RetryOnInterrupt([&] { return read(fd, buffer, sizeof buffer); });
  close(fd);
  if (got < 0) return false;
  text->assign(buffer, static_cast<std::size_t>(got));
  return true;
}

// A tty's name as the class directory lists it: one plain component.
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The numbers of the tty the class lists as name, from its "dev" entry.
bool NumbersOfTty(const std::string& classDirectory, const std::string& name, dev_t* device) {
  std::string text;
  if (!ReadSmallFile(AT_FDCWD, classDirectory + "/" + name + "/dev", &text)) return false;
  unsigned majorNumber = 0;
  unsigned minorNumber = 0;
  if (std::sscanf(text.c_str(), "%u:%u", &majorNumber, &minorNumber) != 2) return false;
  *device = makedev(majorNumber, minorNumber);
  return true;
}

// Whether a controlling terminal as /proc/<pid>/stat shows it (the kernel's
// 32-bit encoding: minor bits 0-7 and 20-31, major bits 8-19) is device.
bool IsDevice(unsigned long shown, dev_t device) {
  const unsigned long shownMajor = (shown >> 8) & 0xFFF;
  const unsigned long shownMinor = (shown & 0xFF) | ((shown >> 12) & 0xFFF00);
  return shown != 0 && shownMajor == major(device) && shownMinor == minor(device);
}

// The session of the process whose stat file is at path (relative to
// /proc), when its controlling terminal is device; 0 otherwise.
pid_t SessionWithTerminal(int proc, const std::string& path, dev_t device) {
  std::string stat;
  if (!ReadSmallFile(proc, path, &stat)) return 0;
  // The command name, in parentheses, may hold any byte, ')' included; the
  // fields after it are fixed: state, parent, process group, session, tty.
  const std::size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos) return 0;
  int session = 0;
  unsigned long terminal = 0;
  if (std::sscanf(stat.c_str() + nameEnd + 1, " %*c %*d %*d %d %lu", &session, &terminal) != 2) {
    return 0;
  }
  return IsDevice(terminal, device) && session > 0 ? static_cast<pid_t>(session) : 0;
}

bool IsProcessEntry(const char* name) {
  if (*name == '\0') return false;
  for (const char* c = name; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
  }
  return true;
}

}  // namespace

bool IsActiveConsole(dev_t device) {
  const std::string classDirectory = TtyClassDirectory();
  std::string list;
  if (!ReadSmallFile(AT_FDCWD, classDirectory + "/console/active", &list)) return false;
  std::istringstream names(list);
  std::string name;
  while (names >> name) {
    if (!IsPlainName(name)) continue;
    std::string inFront;
    if (ReadSmallFile(AT_FDCWD, classDirectory + "/" + name + "/active", &inFront)) {
      std::istringstream(inFront) >> name;
      if (!IsPlainName(name)) continue;
    }
    dev_t listed = 0;
    if (NumbersOfTty(classDirectory, name, &listed) && listed == device) return true;
  }
  return false;
}

pid_t ControllingSession(dev_t device) {
  const int proc =
      RetryOnInterrupt([] { return open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (proc < 0) return 0;
  // The caller's own terminal is the likeliest mistake, and cheap to ask.
  pid_t session = SessionWithTerminal(proc, "self/stat", device);
  if (session == 0) {
    const int listing = dup(proc);
    DIR* processes = listing >= 0 ? fdopendir(listing) : nullptr;
    if (processes == nullptr && listing >= 0) close(listing);
    if (processes != nullptr) {
      while (const dirent* entry = readdir(processes)) {
        if (!IsProcessEntry(entry->d_name)) continue;
        session = SessionWithTerminal(proc, std::string(entry->d_name) + "/stat", device);
        if (session != 0) break;
      }
      closedir(processes);
    }
  }
  close(proc);
  return session;
}

}  // namespace driver

#if defined(KAVREL_FAULT_INJECTION)
namespace testing {

void SetTtyClassDirectory(const std::string& path) {
  std::lock_guard<std::mutex> lock(driver::classDirectoryMutex);
  driver::classDirectoryOverride = path;
}

}  // namespace testing
#endif

}  // namespace platform
}  // namespace kavrel
