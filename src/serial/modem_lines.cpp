// The modem lines: driving DTR and RTS, reading CTS, DSR, RI and DCD, and
// waiting for them to change.
//
// A device has one event wait at a time. Without a listener a modem wait
// makes its own, on a mask of just the lines it watches, and puts the port's
// usual mask back when it is done. With a listener the listener's own
// request carries the modem events too: the wait asks the listener to add
// them to its mask and is woken when the listener sees them, so neither
// takes the device's one wait from the other.
#include <algorithm>
#include <chrono>

#include "kavrel/port_control.h"
#include "platform/platform.h"
#include "serial/event_request.h"
#include "serial/port_control_access.h"
#include "serial/serial_internal.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such

namespace kavrel {
namespace serial {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kNoModemLinesText[] = "the port has no modem lines (a pseudo-terminal has none)";

struct LineBits {
  unsigned line;
  DWORD status;  // GetCommModemStatus
  DWORD event;   // WaitCommEvent
};
const LineBits kLineBits[] = {
    {kModemCts, MS_CTS_ON, EV_CTS},
    {kModemDsr, MS_DSR_ON, EV_DSR},
    {kModemRing, MS_RING_ON, EV_RING},
    {kModemDcd, MS_RLSD_ON, EV_RLSD},
};

unsigned LinesOfStatus(DWORD status) {
  unsigned lines = 0;
  for (const LineBits& bits : kLineBits) {
    if ((status & bits.status) != 0) lines |= bits.line;
  }
  return lines;
}

unsigned LinesOfEvents(DWORD events) {
  unsigned lines = 0;
  for (const LineBits& bits : kLineBits) {
    if ((events & bits.event) != 0) lines |= bits.line;
  }
  return lines;
}

DWORD EventsOfLines(unsigned lines) {
  DWORD events = 0;
  for (const LineBits& bits : kLineBits) {
    if ((lines & bits.line) != 0) events |= bits.event;
  }
  return events;
}

bool FailModemRequest(const char* what, DWORD code) {
  if (code == ERROR_NOT_SUPPORTED) return Fail(code, kNoModemLinesText);
  return FailDoing(what, code);
}

// Milliseconds left until end, for a wait; INFINITE for no end.
DWORD Remaining(const Clock::time_point* end) {
  if (end == nullptr) return INFINITE;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*end - Clock::now());
  return left.count() > 0 ? static_cast<DWORD>(std::min<long long>(left.count(), INFINITE - 1)) : 0;
}

// The modem events of events that device reports, waiting on its own event
// request until one comes or end passes.
DWORD WaitOnDevice(HANDLE device, DWORD events, HANDLE signal, const Clock::time_point* end) {
  SetCommMask(device, events);
  OVERLAPPED request{};
  request.hEvent = signal;
  DWORD seen = 0;
  for (;;) {
    DWORD reported = 0;
    ResetEvent(signal);
    if (!WaitCommEvent(device, &reported, &request)) {
      if (GetLastError() != ERROR_IO_PENDING) break;  // the device failed or went
      if (WaitForSingleObject(signal, Remaining(end)) != WAIT_OBJECT_0) {
        CancelIoEx(device, &request);
      }
      // Waited for even after a cancel, so the device is done with the
      // record; a request that ended without events (cancelled, or given up
      // by the driver) reports none.
      DWORD unused = 0;
      if (!GetOverlappedResult(device, &request, &unused, TRUE)) reported = 0;
    }
    seen |= reported & events;
    if (seen != 0 || Remaining(end) == 0) break;
  }
  SetCommMask(device, kPortEvents);
  return seen;
}

}  // namespace

bool ControlAccess::DriveModemOutput(SerialCtl& port, bool dtr, bool raised) {
  const char* const what = dtr ? "DTR" : "RTS";
  const Choices choices = CurrentChoices(port);
  const auto chosenFlow = static_cast<FlowControl>(choices.flowKind);
  bool owned =
      choices.flowChosen && chosenFlow == (dtr ? FlowControl::kDtrDsr : FlowControl::kRtsCts);
  const HANDLE device = OpenDevice(port);
  DCB line{};
  line.DCBlength = sizeof line;
  if (device != kNoHandle && GetCommState(device, &line)) {
    owned = owned || (dtr ? line.fDtrControl == DTR_CONTROL_HANDSHAKE
                          : line.fRtsControl == RTS_CONTROL_HANDSHAKE ||
                                line.fRtsControl == RTS_CONTROL_TOGGLE);
  }
  if (owned) {
    return Fail(ERROR_INVALID_PARAMETER,
                dtr ? "DTR is driven by DTR/DSR flow control: choose another flow control first"
                    : "RTS is driven by RTS/CTS flow control: choose another flow control first");
  }
  {
    std::lock_guard<std::mutex> lock(port.stateMutex_);
    (dtr ? port.controls_.dtrLevel : port.controls_.rtsLevel) = raised ? 1 : 0;
  }
  if (device == kNoHandle) return true;
  const DWORD function = dtr ? (raised ? SETDTR : CLRDTR) : (raised ? SETRTS : CLRRTS);
  if (!EscapeCommFunction(device, function)) return FailModemRequest(what, GetLastError());
  return true;
}

bool ControlAccess::ReadModemLines(SerialCtl& port, unsigned* lines) {
  if (lines == nullptr) return Fail(ERROR_INVALID_PARAMETER, "no place for the lines");
  *lines = 0;
  const HANDLE device = OpenDevice(port);
  if (device == kNoHandle) return Fail(ERROR_INVALID_HANDLE);
  DWORD status = 0;
  if (!GetCommModemStatus(device, &status)) return FailModemRequest("modem lines", GetLastError());
  *lines = LinesOfStatus(status);
  return true;
}

void ControlAccess::ReportModemEvents(SerialCtl& port, DWORD events) {
  const DWORD seen = events & port.modemWatch_;
  if (seen == 0) return;
  port.modemSeen_ |= seen;
  SetEvent(port.modemSeenSignal_);
}

bool ControlAccess::WaitForModemChange(SerialCtl& port, unsigned lines, unsigned timeoutMs,
                                       unsigned* changed) {
  if (changed == nullptr) return Fail(ERROR_INVALID_PARAMETER, "no place for the changed lines");
  *changed = 0;
  const DWORD events = EventsOfLines(lines);
  if (events == 0) return Fail(ERROR_INVALID_PARAMETER, "no modem line to wait for");
  const HANDLE device = OpenDevice(port);
  if (device == kNoHandle) return Fail(ERROR_INVALID_HANDLE);
  // A device without modem lines would only ever time out.
  DWORD before = 0;
  if (!GetCommModemStatus(device, &before)) {
    return FailModemRequest("modem lines", GetLastError());
  }
  const HANDLE signal = CreateManualResetEvent();
  if (signal == kNoHandle) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const Clock::time_point* until = timeoutMs == kWaitForever ? nullptr : &end;

  DWORD seen = 0;
  if (port.listenerThread == kNoHandle) {
    seen = WaitOnDevice(device, events, signal, until);
  } else {
    {
      std::lock_guard<std::mutex> lock(port.stateMutex_);
      port.modemWatch_ = events;
      port.modemSeen_ = 0;
      port.modemSeenSignal_ = signal;
      if (port.listenerWake_ != kNoHandle) SetEvent(port.listenerWake_);
    }
    WaitForSingleObject(signal, Remaining(until));
    std::lock_guard<std::mutex> lock(port.stateMutex_);
    seen = port.modemSeen_;
    port.modemWatch_ = 0;
    port.modemSeen_ = 0;
    port.modemSeenSignal_ = kNoHandle;
    if (port.listenerWake_ != kNoHandle) SetEvent(port.listenerWake_);
  }
  CloseHandle(signal);

  // The events count from the moment the mask asked for them; a line that
  // changed in the moment before still shows in its level. A device that
  // went away meanwhile says so rather than that nothing changed.
  DWORD after = 0;
  if (!GetCommModemStatus(device, &after)) {
    if (seen == 0) return FailModemRequest("modem lines", GetLastError());
    after = before;
  }
  seen |= EventsOfLines(LinesOfStatus(before ^ after));
  *changed = LinesOfEvents(seen & events);
  if (*changed == 0) return Fail(ERROR_TIMEOUT, "no modem line changed in time");
  return true;
}

}  // namespace serial
}  // namespace kavrel
