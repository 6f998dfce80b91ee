// A device node held by a descriptor that gives no access to the device
// (O_PATH): opening it that way runs no driver code, so a node can be
// checked through the very descriptor that will lead to it, and then opened
// for reading and writing as that same inode. A path checked by name and
// then opened by name could, between the two, be made to lead elsewhere (a
// directory on it swapped), and opening some nodes has effects of its own (a
// watchdog starts, a FIFO end appears).
#ifndef KAVREL_PLATFORM_LINUX_PINNED_NODE_H
#define KAVREL_PLATFORM_LINUX_PINNED_NODE_H

#include <string>

#include "platform/linux/device_names.h"

namespace kavrel {
namespace platform {
namespace driver {

// Pins node.path without following a link and checks the pinned node: a
// character device with the numbers node was resolved to, a port by its
// class, not a console the kernel writes to, and not a session's
// controlling terminal. ERROR_SUCCESS with *pinned set; or ERROR_FILE_NOT_FOUND
// (gone, or not a port), ERROR_ACCESS_DENIED (a terminal in use, the system
// console), or the error of the failed call, with nothing left open and the
// reason in *why where one is known.
DWORD PinNode(const DeviceNode& node, int* pinned, std::string* why);

// Opens the inode pinned holds with flags (which must not ask to create it),
// through /proc/self/fd, and makes sure the descriptor reached that very
// inode. ERROR_SUCCESS with *fd open, or the error with nothing left open and
// the reason in *why where one is known.
DWORD OpenPinned(int pinned, int flags, int* fd, std::string* why);

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_PINNED_NODE_H
