// Opening a resolved device node as a port: exclusively, without becoming
// the controlling terminal, and in raw mode.
//
// What "exclusively" covers. The open is refused, touching nothing, when
// - the node is a terminal the system uses: a console the kernel writes to,
//   or a session's controlling terminal (see terminals_in_use.h);
// - a UUCP lock file names a live process (see uucp_lock.h);
// and refused after the device has been opened, but before any change to
// it, when
// - another open description holds a flock() on it (any process, this one
//   included, root included);
// - another open set exclusive mode (TIOCEXCL): the kernel then refuses the
//   open itself to all but a privileged process, and a privileged one sees
//   the flag and refuses.
// A program that opened the device with a plain open() and none of these is
// not detected.
#ifndef KAVREL_PLATFORM_LINUX_EXCLUSIVE_OPEN_H
#define KAVREL_PLATFORM_LINUX_EXCLUSIVE_OPEN_H

#include <string>

#include "platform/linux/device_names.h"
#include "platform/linux/termios2_speed.h"
#include "platform/linux/uucp_lock.h"

namespace kavrel {
namespace platform {
namespace driver {

// ERROR_SUCCESS with *fd open and the port's UUCP lock in *lock (where lock
// files are in use), or the Win32 error with nothing left open or locked and
// the reason in *why where one is known. ERROR_ACCESS_DENIED when the port
// is someone else's, as above.
// *atOpen receives everything the kernel held for the line before the open
// made it raw, so the line can be put back as it was.
DWORD OpenExclusive(const DeviceNode& node, int* fd, UucpLock* lock, std::string* why,
                    LineSnapshot* atOpen);

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_EXCLUSIVE_OPEN_H
