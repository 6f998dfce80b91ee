// Time-outs for reads and writes, opt-in per object, in the shape of the
// driver's own (COMMTIMEOUTS): a total time-out for each write, and for
// reads that find nothing queued a wait for the first bytes. Without a
// choice an open leaves the device's time-outs alone.
#include <string>

#include "host/error_reason.h"
#include "kavrel/port_control.h"
#include "platform/platform.h"
#include "serial/port_control_access.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such

namespace kavrel {
namespace serial {

namespace {

constexpr DWORD kWaitTimedOut = 258;      // WAIT_TIMEOUT, as some drivers end a write
constexpr DWORD kSemaphoreTimeout = 121;  // ERROR_SEM_TIMEOUT, likewise

COMMTIMEOUTS DriverTimeouts(const ControlAccess::Choices& choices) {
  // A total time-out for every read: reads of what is queued finish at
  // once, and a waiting read asks for the first byte only (see receive.cpp).
  COMMTIMEOUTS timeouts{};
  timeouts.ReadTotalTimeoutConstant = choices.readWaitMs;
  timeouts.WriteTotalTimeoutMultiplier = choices.writePerByteMs;
  timeouts.WriteTotalTimeoutConstant = choices.writeConstantMs;
  return timeouts;
}

}  // namespace

bool ControlAccess::ChooseTimeouts(SerialCtl& port, const PortTimeouts& timeouts) {
  if (timeouts.readWaitMs == kWaitForever) {
    return Fail(ERROR_INVALID_PARAMETER, "the read wait must have an end");
  }
  Choices next = CurrentChoices(port);
  next.timeoutsChosen = true;
  next.readWaitMs = timeouts.readWaitMs;
  next.writeConstantMs = timeouts.writeConstantMs;
  next.writePerByteMs = timeouts.writePerByteMs;
  const HANDLE device = OpenDevice(port);
  if (device != kNoHandle) {
    COMMTIMEOUTS driver = DriverTimeouts(next);
    if (!SetCommTimeouts(device, &driver)) return FailDoing("time-outs", GetLastError());
  }
  std::lock_guard<std::mutex> lock(port.stateMutex_);
  port.controls_ = next;
  return true;
}

bool ControlAccess::ApplyDeviceChoices(SerialCtl& port, HANDLE device) {
  const Choices choices = CurrentChoices(port);
  if (!choices.timeoutsChosen) return true;
  COMMTIMEOUTS driver = DriverTimeouts(choices);
  if (!SetCommTimeouts(device, &driver)) return FailDoing("time-outs", GetLastError());
  return true;
}

bool ControlAccess::ReadWaitsForBytes(SerialCtl& port) {
  std::lock_guard<std::mutex> lock(port.stateMutex_);
  return port.controls_.timeoutsChosen && port.controls_.readWaitMs != 0;
}

void ControlAccess::ExplainUnsentWrite(bool finished, DWORD written, DWORD count) {
  // A write that times out ends successfully with fewer bytes than asked on
  // Windows and in the emulated driver; some drivers fail it instead.
  const DWORD error = finished ? ERROR_SUCCESS : GetLastError();
  if (!finished && error != ERROR_TIMEOUT && error != kWaitTimedOut && error != kSemaphoreTimeout) {
    return;
  }
  try {
    host::RecordFailure(ERROR_TIMEOUT, "the write timed out: " + std::to_string(written) + " of " +
                                           std::to_string(count) +
                                           " bytes were sent and the rest was discarded");
  } catch (...) {
    host::RecordFailure(ERROR_TIMEOUT);
  }
}

}  // namespace serial
}  // namespace kavrel
