#include "platform/linux/pinned_node.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/linux/refusal_reasons.h"
#include "platform/linux/retry_on_interrupt.h"
#include "platform/linux/system_errors.h"
#include "platform/linux/terminals_in_use.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

constexpr char kDeviceChanged[] = "the device changed while it was being opened";

DWORD Refuse(int fd, DWORD error, std::string* why, const std::string& reason) {
  close(fd);
  if (!reason.empty()) *why = reason;
  return error;
}

bool SameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev;
}

}  // namespace

DWORD PinNode(const DeviceNode& node, int* pinned, std::string* why) {
  const int fd =
      RetryOnInterrupt([&] { return open(node.path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); });
  if (fd < 0) return ErrorWhileOpening(errno);

  struct stat info {};
  if (fstat(fd, &info) != 0) return Refuse(fd, ErrorWhileOpening(errno), why, std::string());
  TtyKind kind = TtyKind::kNotAPort;
  std::string reason;
  const DWORD notAPort = ClassifyNode(info, &kind, &reason);
  if (notAPort != ERROR_SUCCESS) return Refuse(fd, notAPort, why, reason);
  // The name led to another device since it was resolved.
  if (info.st_rdev != node.device || kind != node.kind) {
    return Refuse(fd, ERROR_FILE_NOT_FOUND, why, kDeviceChanged);
  }
  if (IsActiveConsole(info.st_rdev)) {
    return Refuse(fd, ERROR_ACCESS_DENIED, why, kSystemConsole);
  }
  const pid_t session = ControllingSession(info.st_rdev);
  if (session != 0) {
    return Refuse(fd, ERROR_ACCESS_DENIED, why, NamingProcess(kTerminalInUse, session));
  }
  *pinned = fd;
  return ERROR_SUCCESS;
}

DWORD OpenPinned(int pinned, int flags, int* fd, std::string* why) {
  struct stat expected {};
  if (fstat(pinned, &expected) != 0) return ErrorWhileOpening(errno);
  char path[32];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", pinned);
  const int opened = RetryOnInterrupt([&] { return open(path, flags); });
  if (opened < 0) {
    const int error = errno;
    // The descriptor's own entry cannot be missing while it is open: only
    // /proc can be.
    if (error == ENOENT) {
      *why = "the device cannot be reopened without /proc";
      return ERROR_GEN_FAILURE;
    }
    // Another open set exclusive mode (TIOCEXCL).
    if (error == EBUSY) *why = kInUseByAnotherProgram;
    if (error == EACCES || error == EPERM) *why = "no permission to use the device";
    return ErrorWhileOpening(error);
  }
  struct stat reached {};
  if (fstat(opened, &reached) != 0 || !SameInode(expected, reached)) {
    return Refuse(opened, ERROR_FILE_NOT_FOUND, why, kDeviceChanged);
  }
  *fd = opened;
  return ERROR_SUCCESS;
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
