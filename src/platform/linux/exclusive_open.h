// Opening a checked device node as a port: exclusively, without becoming
// the controlling terminal, and in raw mode.
#ifndef KAVREL_PLATFORM_LINUX_EXCLUSIVE_OPEN_H
#define KAVREL_PLATFORM_LINUX_EXCLUSIVE_OPEN_H

#include "platform/linux/device_names.h"

namespace kavrel {
namespace platform {
namespace driver {

// ERROR_SUCCESS with *fd open, or the Win32 error with nothing left open.
// ERROR_ACCESS_DENIED when another open, in this process or any other,
// already holds the device; that attempt changes nothing on the device.
DWORD OpenExclusive(const DeviceNode& node, int* fd);

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_EXCLUSIVE_OPEN_H
