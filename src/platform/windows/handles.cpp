// On Windows the kernel owns every handle: the library keeps no handle table
// of its own, so it has no live entries to count. Tests count the process's
// kernel handles instead (GetProcessHandleCount).
#include "platform/testing.h"

namespace kavrel {
namespace platform {
namespace testing {

std::size_t LiveHandleCount() { return 0; }

}  // namespace testing
}  // namespace platform
}  // namespace kavrel
