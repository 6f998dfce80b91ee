// Event creation: kernel32's own events, behind the test build's fault switch.
#include "platform/platform.h"
#include "platform/fault_injection.h"

namespace kavrel {
namespace platform {

HANDLE CreateEventA(std::nullptr_t, BOOL manualReset, BOOL initialState, std::nullptr_t) {
  if (platform::TakeEventCreationFault()) {
    // What an exhausted system reports: no handle and a reason.
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return ::CreateEventA(nullptr, manualReset, initialState, nullptr);
}

}  // namespace platform
}  // namespace kavrel
