// Putting a line back as it was before the open: on Windows the driver
// keeps nothing of it, so the DCB the library read right after the open is
// applied again.
#include "platform/platform.h"

namespace kavrel {
namespace platform {

BOOL RestoreCommState(HANDLE device, DCB* stateAtOpen) {
  return ::SetCommState(device, stateAtOpen);
}

}  // namespace platform
}  // namespace kavrel
