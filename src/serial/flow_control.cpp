// Flow control and the DTR and RTS levels as parts of the line settings:
// chosen by the host for the next open or for the open port, and put into
// the DCB every open applies. Without a choice an open keeps what the device
// had, as it always has.
#include "host/error_reason.h"
#include "kavrel/port_control.h"
#include "platform/platform.h"
#include "serial/port_control_access.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such

namespace kavrel {
namespace serial {

namespace {

constexpr char kDtrDsrRefusedText[] = "DTR/DSR flow control is not supported by this port";

void ApplyChoices(const ControlAccess::Choices& choices, DCB* dcb) {
  if (choices.flowChosen) {
    const auto kind = static_cast<FlowControl>(choices.flowKind);
    dcb->fOutxCtsFlow = kind == FlowControl::kRtsCts ? 1 : 0;
    dcb->fRtsControl = kind == FlowControl::kRtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb->fOutxDsrFlow = kind == FlowControl::kDtrDsr ? 1 : 0;
    dcb->fDtrControl = kind == FlowControl::kDtrDsr ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb->fDsrSensitivity = 0;
    dcb->fOutX = kind == FlowControl::kXonXoff ? 1 : 0;
    dcb->fInX = kind == FlowControl::kXonXoff ? 1 : 0;
    dcb->XonChar = choices.xonChar;
    dcb->XoffChar = choices.xoffChar;
  }
  // The levels the host chose, on the lines no handshake drives.
  if (choices.dtrLevel >= 0 && dcb->fDtrControl != DTR_CONTROL_HANDSHAKE) {
    dcb->fDtrControl = choices.dtrLevel != 0 ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  }
  if (choices.rtsLevel >= 0 && dcb->fRtsControl != RTS_CONTROL_HANDSHAKE &&
      dcb->fRtsControl != RTS_CONTROL_TOGGLE) {
    dcb->fRtsControl = choices.rtsLevel != 0 ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  }
}

bool FailRefusedFlow(FlowControl kind, DWORD code) {
  if (code != ERROR_INVALID_PARAMETER) return FailDoing("flow control", code);
  return Fail(code, kind == FlowControl::kDtrDsr ? kDtrDsrRefusedText
                                                 : "the device refused this flow control");
}

}  // namespace

bool ControlAccess::ChooseFlowControl(SerialCtl& port, const FlowSettings& flow) {
  switch (flow.kind) {
    case FlowControl::kNone:
    case FlowControl::kRtsCts:
    case FlowControl::kDtrDsr:
      break;
    case FlowControl::kXonXoff:
      if (flow.xon == flow.xoff) {
        return Fail(ERROR_INVALID_PARAMETER, "XON and XOFF must be different characters");
      }
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER, "no such flow control");
  }
  Choices next = CurrentChoices(port);
  next.flowChosen = true;
  next.flowKind = static_cast<int>(flow.kind);
  next.xonChar = flow.xon;
  next.xoffChar = flow.xoff;

  const HANDLE device = OpenDevice(port);
  if (device != kNoHandle) {
    DCB line{};
    line.DCBlength = sizeof line;
    if (!GetCommState(device, &line)) return FailDoing("flow control", GetLastError());
    ApplyChoices(next, &line);
    // A refusal leaves the line as it was.
    if (!SetCommState(device, &line)) return FailRefusedFlow(flow.kind, GetLastError());
  }
  std::lock_guard<std::mutex> lock(port.stateMutex_);
  port.controls_ = next;
  return true;
}

void ControlAccess::ApplyLineChoices(SerialCtl& port, DCB* dcb) {
  ApplyChoices(CurrentChoices(port), dcb);
}

void ControlAccess::ExplainRefusedSettings(SerialCtl& port) {
  const Choices choices = CurrentChoices(port);
  if (choices.flowChosen && static_cast<FlowControl>(choices.flowKind) == FlowControl::kDtrDsr) {
    host::RecordFailure(ERROR_INVALID_PARAMETER,
                        std::string("settings refused: ") + kDtrDsrRefusedText);
  }
}

}  // namespace serial
}  // namespace kavrel
