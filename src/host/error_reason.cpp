#include "host/error_reason.h"

#include <cstdio>

#include "kavrel/errors.h"

namespace kavrel {
namespace host {

namespace {

// Per thread, as Win32 keeps its last error: a listener's failure never
// replaces the reason the host thread is about to read.
thread_local ErrorReason lastReason;

struct Wording {
  DWORD code;
  const char* text;
};

// The codes the library's calls report, on either platform.
constexpr Wording kWordings[] = {
    {2, "no such device"},                  // ERROR_FILE_NOT_FOUND
    {3, "no such device"},                  // ERROR_PATH_NOT_FOUND
    {5, "access denied"},                   // ERROR_ACCESS_DENIED
    {6, "the port is not open"},            // ERROR_INVALID_HANDLE
    {8, "out of memory"},                   // ERROR_NOT_ENOUGH_MEMORY
    {31, "the device failed"},              // ERROR_GEN_FAILURE
    {32, "in use by another program"},      // ERROR_SHARING_VIOLATION
    {50, "not supported"},                  // ERROR_NOT_SUPPORTED
    {87, "invalid parameter"},              // ERROR_INVALID_PARAMETER
    {121, "timed out"},                     // ERROR_SEM_TIMEOUT
    {123, "not a valid port name"},         // ERROR_INVALID_NAME
    {995, "the operation was cancelled"},   // ERROR_OPERATION_ABORTED
    {1167, "the device is not connected"},  // ERROR_DEVICE_NOT_CONNECTED
    {1168, "not found"},                    // ERROR_NOT_FOUND
    {1460, "timed out"},                    // ERROR_TIMEOUT
};

}  // namespace

std::string DescribeError(DWORD code) {
  for (const Wording& wording : kWordings) {
    if (wording.code == code) return wording.text;
  }
  char text[32];
  std::snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(code));
  return text;
}

void RecordFailure(DWORD code, const std::string& detail) {
  try {
    lastReason.code = code;
    lastReason.text = detail.empty() ? DescribeError(code) : detail;
  } catch (...) {
    // Out of memory for the text: the code alone still says what happened.
    lastReason.text.clear();
  }
}

}  // namespace host

ErrorReason GetLastErrorReason() { return host::lastReason; }

}  // namespace kavrel
