// UUCP lock files: the convention by which programs that use serial ports
// (minicom, Qt's serial port, uucp, many others) tell each other a port is
// taken. A file LCK..NAME in the lock directory (/var/lock, which is
// /run/lock on Debian) holds the pid of the process that has the port, in
// ASCII, ten characters wide and followed by a line feed.
//
// NAME is the device's path under /dev with every '/' made '_': ttyUSB0 for
// /dev/ttyUSB0, pts_3 for /dev/pts/3. The path is the node's canonical one,
// so a port reached through a link or as COMn takes the lock of the device
// it is.
//
// The lock directory is /var/lock, or what the environment variable
// KAVREL_LOCK_DIR names (an empty value: no lock files at all; ignored in a
// set-user-id program). Where the directory does not exist, nothing is
// locked or checked.
#ifndef KAVREL_PLATFORM_LINUX_UUCP_LOCK_H
#define KAVREL_PLATFORM_LINUX_UUCP_LOCK_H

#include <sys/types.h>

#include <string>

#include "platform/platform.h"

namespace kavrel {
namespace platform {
namespace driver {

class UucpLock {
 public:
  UucpLock() = default;
  // Removes the lock file this process took, if it still names this process.
  ~UucpLock();
  UucpLock(UucpLock&& other) noexcept;
  UucpLock& operator=(UucpLock&& other) noexcept;
  UucpLock(const UucpLock&) = delete;
  UucpLock& operator=(const UucpLock&) = delete;

  // Takes the lock of the device at devicePath (canonical, under /dev).
  // ERROR_ACCESS_DENIED, with the holder in *why, when a lock names a live
  // process. A lock naming a dead process, or holding anything but a pid, is
  // stale and is replaced. ERROR_SUCCESS otherwise, with the lock held in
  // *lock, or with no lock at all where the directory is missing or cannot
  // be written (the port is then opened unlocked, and a trace line says so).
  static DWORD Take(const std::string& devicePath, UucpLock* lock, std::string* why);

  // "LCK..ttyUSB0" for /dev/ttyUSB0, "LCK..pts_3" for /dev/pts/3.
  static std::string FileName(const std::string& devicePath);

  bool held() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  void Release();

  std::string path_;  // the lock file; empty when no lock is held
  pid_t owner_ = 0;   // the process that took it
};

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_UUCP_LOCK_H
