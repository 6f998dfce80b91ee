// Break: the line held at space for longer than a character, which many
// devices take as an attention or reset signal.
#include <chrono>
#include <thread>

#include "kavrel/port_control.h"
#include "platform/platform.h"
#include "serial/port_control_access.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such

namespace kavrel {
namespace serial {

bool ControlAccess::DriveBreak(SerialCtl& port, bool on) {
  const HANDLE device = OpenDevice(port);
  if (device == kNoHandle) return Fail(ERROR_INVALID_HANDLE);
  if (!(on ? SetCommBreak(device) : ClearCommBreak(device))) {
    return FailDoing("break", GetLastError());
  }
  return true;
}

bool ControlAccess::SendBreak(SerialCtl& port, unsigned durationMs) {
  if (durationMs == kWaitForever) return Fail(ERROR_INVALID_PARAMETER, "a break must end");
  if (!DriveBreak(port, true)) return false;
  // The break's length is the point of the call, so it is slept here.
  std::this_thread::sleep_for(std::chrono::milliseconds(durationMs));
  return DriveBreak(port, false);
}

}  // namespace serial
}  // namespace kavrel
