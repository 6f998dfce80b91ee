// The calls of kavrel/port_control.h, as the friend of SerialCtl that
// reaches the object's own state: the host's choices, the device, the
// listener's hand-off of modem events and a drain that outlived its wait.
// Each part lives in the file named after its behaviour.
#ifndef KAVREL_SERIAL_PORT_CONTROL_ACCESS_H
#define KAVREL_SERIAL_PORT_CONTROL_ACCESS_H

#include <string>

#include "kavrel/SerialCtl.h"
#include "kavrel/port_control.h"

namespace kavrel {
namespace serial {

// Records a failure's reason for GetLastErrorReason; always false, so a call
// can end with `return Fail(...)`. Without a text the code's general
// wording is used.
bool Fail(DWORD code, const std::string& text = std::string());
// The same, with what failed put before the code's wording ("break: the
// device failed").
bool FailDoing(const char* what, DWORD code);

struct ControlAccess {
  using Choices = SerialCtl::ControlChoices;

  // Every public call starts here: an object inherited through fork() is
  // made a closed one of this process first (see SerialCtl.h).
  static SerialCtl& Own(SerialCtl& port);
  // The object's device while it is open; the empty handle otherwise.
  static HANDLE OpenDevice(const SerialCtl& port);
  static Choices CurrentChoices(SerialCtl& port);

  // modem_lines.cpp
  static bool DriveModemOutput(SerialCtl& port, bool dtr, bool raised);
  static bool ReadModemLines(SerialCtl& port, unsigned* lines);
  static bool WaitForModemChange(SerialCtl& port, unsigned lines, unsigned timeoutMs,
                                 unsigned* changed);
  // The listener's part: the events a modem wait asks it to watch, and what
  // it saw of them. Both with stateMutex_ held.
  static DWORD ModemEventsWatched(const SerialCtl& port) { return port.modemWatch_; }
  static void ReportModemEvents(SerialCtl& port, DWORD events);

  // flow_control.cpp
  static bool ChooseFlowControl(SerialCtl& port, const FlowSettings& flow);
  // Puts the flow control and the DTR and RTS levels the host chose into a
  // DCB about to be applied; members the host did not choose stay.
  static void ApplyLineChoices(SerialCtl& port, DCB* dcb);
  // After the device refused the settings at open: the reason, when a
  // choice of the host's is the one the device cannot do.
  static void ExplainRefusedSettings(SerialCtl& port);

  // timeouts.cpp
  static bool ChooseTimeouts(SerialCtl& port, const PortTimeouts& timeouts);
  // The device choices that are not part of the DCB, for a device being
  // opened; false (reason recorded) when the device refuses them.
  static bool ApplyDeviceChoices(SerialCtl& port, HANDLE device);
  // Whether a read with nothing queued waits for the first bytes.
  static bool ReadWaitsForBytes(SerialCtl& port);
  // After a WriteSerial that did not send its block: the reason, when the
  // write time-out ended it.
  static void ExplainUnsentWrite(bool finished, DWORD written, DWORD count);

  // line_break.cpp
  static bool DriveBreak(SerialCtl& port, bool on);
  static bool SendBreak(SerialCtl& port, unsigned durationMs);

  // drain.cpp
  static bool Drain(SerialCtl& port, unsigned timeoutMs);
  static DWORD KAVREL_CALLBACK DrainRoutine(void* object);

  // port_control.cpp (applied in open_close.cpp)
  static bool ChooseRestoreOnClose(SerialCtl& port, bool restore);
};

}  // namespace serial
}  // namespace kavrel

#endif  // KAVREL_SERIAL_PORT_CONTROL_ACCESS_H
