// Opening a checked device node as a port: exclusively, without becoming
// the controlling terminal, and in raw mode.
#ifndef KAVREL_PLATFORM_LINUX_EXCLUSIVE_OPEN_H
#define KAVREL_PLATFORM_LINUX_EXCLUSIVE_OPEN_H

#include "platform/linux/device_names.h"
#include "platform/linux/termios2_speed.h"

namespace kavrel {
namespace platform {
namespace driver {

// ERROR_SUCCESS with *fd open, or the Win32 error with nothing left open.
// ERROR_ACCESS_DENIED when another open, in this process or any other,
// already holds the device; that attempt changes nothing on the device.
// *atOpen receives everything the kernel held for the line before the open
// made it raw, so the line can be put back as it was.
DWORD OpenExclusive(const DeviceNode& node, int* fd, LineSnapshot* atOpen);

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_EXCLUSIVE_OPEN_H
