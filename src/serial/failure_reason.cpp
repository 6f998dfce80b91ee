// Why a call failed, left for kavrel::GetLastErrorReason: the platform's last
// error with the reason the platform knew for it.
#include <string>

#include "host/error_reason.h"
#include "platform/platform.h"
#include "serial/serial_internal.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such

namespace kavrel {
namespace serial {

void RecordPlatformFailure(const char* context) {
  const DWORD code = GetLastError();
  try {
    std::string reason = LastErrorDetail();
    if (reason.empty()) reason = host::DescribeError(code);
    if (context != nullptr) reason = std::string(context) + ": " + reason;
    host::RecordFailure(code, reason);
  } catch (...) {
    host::RecordFailure(code);
  }
}

}  // namespace serial
}  // namespace kavrel
