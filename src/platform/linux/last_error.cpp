// The last error code, kept per thread as Win32 keeps it.
#include "platform/platform.h"

namespace kavrel {
namespace platform {

namespace {

// Each thread sees only the failures of its own calls, so a listener thread
// failing a wait can never disturb the code the host thread is about to read.
thread_local DWORD lastError = ERROR_SUCCESS;

}  // namespace

DWORD GetLastError() { return lastError; }

void SetLastError(DWORD error) { lastError = error; }

}  // namespace platform
}  // namespace kavrel
