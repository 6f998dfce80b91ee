// What a failed system call means to a Win32 caller: one table from errno to
// the Win32 error the emulated driver reports, used by every part of it.
//
// The same errno can mean two things. While a port is being named and opened,
// ENXIO, ENODEV or EIO say the device is not there, which a Win32 caller
// hears as a file that was not found; once the port is open they say the line
// hung up or the device was unplugged, which it hears as a device that is no
// longer connected. So the table has a column for each.
#ifndef KAVREL_PLATFORM_LINUX_SYSTEM_ERRORS_H
#define KAVREL_PLATFORM_LINUX_SYSTEM_ERRORS_H

#include "platform/platform.h"

namespace kavrel {
namespace platform {
namespace driver {

// For a failure while resolving a name, opening the node or locking it.
// Errors the table does not list are ERROR_GEN_FAILURE.
DWORD ErrorWhileOpening(int error);

// For a failure on a port that is open. Errors the table does not list are
// ERROR_GEN_FAILURE.
DWORD ErrorOnOpenDevice(int error);

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_SYSTEM_ERRORS_H
