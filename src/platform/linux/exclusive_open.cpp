#include "platform/linux/exclusive_open.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/linux/dcb_termios.h"
#include "platform/linux/pinned_node.h"
#include "platform/linux/refusal_reasons.h"
#include "platform/linux/retry_on_interrupt.h"
#include "platform/linux/system_errors.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

DWORD Refuse(int fd, DWORD error) {
  close(fd);
  return error;
}

// The process that holds a flock() on the file fd leads to, as
// /proc/locks lists it ("1: FLOCK  ADVISORY  WRITE 4711 00:05:93 0 EOF",
// device numbers in hex); 0 when it is not listed.
pid_t FlockHolder(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return 0;
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, file;
    long holder = 0;
    // Waiting requests are listed as "->" lines; only holders count.
    if (!(fields >> number >> kind) || kind != "FLOCK") continue;
    if (!(fields >> mode >> access >> holder >> file)) continue;
    unsigned fileMajor = 0, fileMinor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(file.c_str(), "%x:%x:%llu", &fileMajor, &fileMinor, &inode) != 3) continue;
    if (fileMajor == major(info.st_dev) && fileMinor == minor(info.st_dev) &&
        inode == info.st_ino && holder > 0) {
      return static_cast<pid_t>(holder);
    }
  }
  return 0;
}

}  // namespace

DWORD OpenExclusive(const DeviceNode& node, int* fd, UucpLock* lock, std::string* why,
                    LineSnapshot* atOpen) {
  int pinned = -1;
  DWORD error = PinNode(node, &pinned, why);
  if (error != ERROR_SUCCESS) return error;
  // Taken before the device is opened: a port that another program has
  // locked is never touched.
  UucpLock taken;
  error = UucpLock::Take(node.path, &taken, why);
  int opened = -1;
  // Non-blocking so that neither the open nor any later transfer waits for
  // carrier or for the device; the I/O thread does all the waiting.
  if (error == ERROR_SUCCESS) {
    error = OpenPinned(pinned, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, &opened, why);
    // Refused for exclusive mode: a holder that also took the flock can be
    // named.
    if (error == ERROR_ACCESS_DENIED && *why == kInUseByAnotherProgram) {
      const pid_t holder = FlockHolder(pinned);
      if (holder != 0) *why = HeldBy(holder);
    }
  }
  close(pinned);
  if (error != ERROR_SUCCESS) return error;
  if (isatty(opened) == 0) return Refuse(opened, ERROR_FILE_NOT_FOUND);

  // The lock comes before any change to the line, so an open that loses the
  // race touches nothing. flock also excludes a second open from this same
  // process, which TIOCEXCL does not, and holds against root.
  if (RetryOnInterrupt([&] { return flock(opened, LOCK_EX | LOCK_NB); }) != 0) {
    const int failure = errno;
    if (failure == EWOULDBLOCK) *why = HeldBy(FlockHolder(opened));
    return Refuse(opened, ErrorWhileOpening(failure));
  }
  // Exclusive mode keeps out programs that take no lock. Another open set it
  // already: the kernel let this open through only because it is
  // privileged. Some drivers lack the requests, which is fine.
  int exclusive = 0;
  if (ioctl(opened, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    *why = kInUseByAnotherProgram;
    return Refuse(opened, ERROR_ACCESS_DENIED);
  }
  if (ioctl(opened, TIOCEXCL) != 0 && errno != EINVAL && errno != ENOTTY) {
    return Refuse(opened, ERROR_GEN_FAILURE);
  }

  termios settings{};
  if (!SaveLine(opened, atOpen) || tcgetattr(opened, &settings) != 0) {
    ioctl(opened, TIOCNXCL);
    return Refuse(opened, ERROR_GEN_FAILURE);
  }
  MakeRaw(&settings);
  // The C library may report failure for a request the device partly
  // overrides (a pty keeps 8 data bits whatever is asked), so the line is
  // judged by what it reads back as.
  RetryOnInterrupt([&] { return tcsetattr(opened, TCSANOW, &settings); });
  termios actual{};
  if (tcgetattr(opened, &actual) != 0 || !IsRaw(actual)) {
    ioctl(opened, TIOCNXCL);
    return Refuse(opened, ERROR_GEN_FAILURE);
  }
  *fd = opened;
  *lock = std::move(taken);
  return ERROR_SUCCESS;
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
