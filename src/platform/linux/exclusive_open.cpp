#include "platform/linux/exclusive_open.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/dcb_termios.h"
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

}  // namespace

DWORD OpenExclusive(const DeviceNode& node, int* fd, LineSnapshot* atOpen) {
  // Non-blocking so that neither the open nor any later transfer waits for
  // carrier or for the device; the I/O thread does all the waiting.
  const int opened = RetryOnInterrupt([&] {
    return open(node.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  });
  if (opened < 0) return ErrorWhileOpening(errno);

  // The node was checked by name; make sure the name still led there.
  struct stat info {};
  if (fstat(opened, &info) != 0 || !S_ISCHR(info.st_mode) || info.st_rdev != node.device ||
      isatty(opened) == 0) {
    return Refuse(opened, ERROR_FILE_NOT_FOUND);
  }

  // The lock comes before any change to the line, so an open that loses the
  // race touches nothing. flock also excludes a second open from this same
  // process, which TIOCEXCL does not, and holds against root.
  if (RetryOnInterrupt([&] { return flock(opened, LOCK_EX | LOCK_NB); }) != 0) {
    return Refuse(opened, ErrorWhileOpening(errno));
  }
  // TIOCEXCL also keeps out programs that do not take the lock. Some
  // drivers lack it, which is fine.
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
  return ERROR_SUCCESS;
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
