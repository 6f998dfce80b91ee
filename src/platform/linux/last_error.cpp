// The last error code, kept per thread as Win32 keeps it, and beside it the
// specific reason the emulated driver knew for it.
#include "platform/linux/last_error.h"

namespace kavrel {
namespace platform {

namespace {

// Each thread sees only the failures of its own calls, so a listener thread
// failing a wait can never disturb the code the host thread is about to read.
thread_local DWORD lastError = ERROR_SUCCESS;
// Belongs to lastError: every new code clears it.
thread_local std::string lastErrorDetail;

}  // namespace

DWORD GetLastError() { return lastError; }

void SetLastError(DWORD error) {
  lastError = error;
  lastErrorDetail.clear();
}

std::string LastErrorDetail() { return lastErrorDetail; }

namespace driver {

void SetLastErrorWithDetail(DWORD error, const std::string& detail) {
  SetLastError(error);
  try {
    lastErrorDetail = detail;
  } catch (...) {
    // Without memory for the text the code alone still says what happened.
  }
}

}  // namespace driver

}  // namespace platform
}  // namespace kavrel
