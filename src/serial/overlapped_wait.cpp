#include "platform/platform.h"
#include "serial/serial_internal.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such

namespace kavrel {
namespace serial {

bool FinishTransfer(HANDLE device, OVERLAPPED* overlapped, BOOL started, DWORD* transferred) {
  *transferred = 0;
  if (started) {
    // Finished at once; the record holds the count.
    return GetOverlappedResult(device, overlapped, transferred, FALSE) != FALSE;
  }
  if (GetLastError() != ERROR_IO_PENDING) return false;
  for (;;) {
    if (GetOverlappedResult(device, overlapped, transferred, TRUE)) return true;
    if (GetLastError() != ERROR_IO_INCOMPLETE) return false;
  }
}

}  // namespace serial
}  // namespace kavrel
