// Opening a checked device node as a port: exclusively, without becoming
// the controlling terminal, and in raw mode.
#ifndef KAVREL_PLATFORM_POSIX_EXCLUSIVE_OPEN_H
#define KAVREL_PLATFORM_POSIX_EXCLUSIVE_OPEN_H

#include "platform/posix/device_names.h"

namespace kavrel {
namespace platform {
namespace posix {

// ERROR_SUCCESS with *fd open, or the Win32 error with nothing left open.
// ERROR_ACCESS_DENIED when another open, in this process or any other,
// already holds the device; that attempt changes nothing on the device.
DWORD OpenExclusive(const DeviceNode& node, int* fd);

}  // namespace posix
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_POSIX_EXCLUSIVE_OPEN_H
