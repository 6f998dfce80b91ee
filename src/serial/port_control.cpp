// The public calls of kavrel/port_control.h, and what their parts share:
// the reasons of failures and the object's device and choices.
#include "kavrel/port_control.h"

#include "host/error_reason.h"
#include "platform/platform.h"
#include "serial/port_control_access.h"

using kavrel::serial::ControlAccess;

namespace kavrel {
namespace serial {

bool Fail(DWORD code, const std::string& text) {
  host::RecordFailure(code, text);
  return false;
}

bool FailDoing(const char* what, DWORD code) {
  try {
    return Fail(code, std::string(what) + ": " + host::DescribeError(code));
  } catch (...) {
    // Out of memory for the text: the code alone still says it.
    return Fail(code);
  }
}

SerialCtl& ControlAccess::Own(SerialCtl& port) {
  port.ForgetIfInherited();
  return port;
}

HANDLE ControlAccess::OpenDevice(const SerialCtl& port) {
  return port.isOpen ? port.portHandle : platform::kNoHandle;
}

ControlAccess::Choices ControlAccess::CurrentChoices(SerialCtl& port) {
  std::lock_guard<std::mutex> lock(port.stateMutex_);
  return port.controls_;
}

bool ControlAccess::ChooseRestoreOnClose(SerialCtl& port, bool restore) {
  std::lock_guard<std::mutex> lock(port.stateMutex_);
  port.controls_.restoreOnClose = restore;
  return true;
}

}  // namespace serial

bool SetDtr(SerialCtl& port, bool raised) {
  return ControlAccess::DriveModemOutput(ControlAccess::Own(port), true, raised);
}

bool SetRts(SerialCtl& port, bool raised) {
  return ControlAccess::DriveModemOutput(ControlAccess::Own(port), false, raised);
}

bool GetModemLines(SerialCtl& port, unsigned* lines) {
  return ControlAccess::ReadModemLines(ControlAccess::Own(port), lines);
}

bool WaitForModemChange(SerialCtl& port, unsigned lines, unsigned timeoutMs, unsigned* changed) {
  return ControlAccess::WaitForModemChange(ControlAccess::Own(port), lines, timeoutMs, changed);
}

bool SetFlowControl(SerialCtl& port, const FlowSettings& flow) {
  return ControlAccess::ChooseFlowControl(ControlAccess::Own(port), flow);
}

bool SendBreak(SerialCtl& port, unsigned durationMs) {
  return ControlAccess::SendBreak(ControlAccess::Own(port), durationMs);
}

bool SetBreak(SerialCtl& port, bool on) {
  return ControlAccess::DriveBreak(ControlAccess::Own(port), on);
}

bool Drain(SerialCtl& port, unsigned timeoutMs) {
  return ControlAccess::Drain(ControlAccess::Own(port), timeoutMs);
}

bool SetTimeouts(SerialCtl& port, const PortTimeouts& timeouts) {
  return ControlAccess::ChooseTimeouts(ControlAccess::Own(port), timeouts);
}

bool SetRestoreOnClose(SerialCtl& port, bool restore) {
  return ControlAccess::ChooseRestoreOnClose(ControlAccess::Own(port), restore);
}

}  // namespace kavrel
