// The emulated driver's side of the last error: a code with the specific
// reason the driver knew for it ("in use by another program (pid 4711)"),
// which platform::LastErrorDetail hands to the serial code.
#ifndef KAVREL_PLATFORM_LINUX_LAST_ERROR_H
#define KAVREL_PLATFORM_LINUX_LAST_ERROR_H

#include <string>

#include "platform/platform.h"

namespace kavrel {
namespace platform {
namespace driver {

// SetLastError(error), with detail as its reason (empty: none).
void SetLastErrorWithDetail(DWORD error, const std::string& detail);

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_LAST_ERROR_H
