// The line settings of a local tty: a DCB carried to termios and back, the
// speed with its own way to the line and back, and what a pty cannot keep.
//
// Applying settings is one change of the line: every group of the DCB is
// mapped first (any refusal leaves the line untouched), the result goes to
// the device in one request, and the device's own account read back decides
// whether the line now runs as asked; if it does not, the line is put back
// exactly as it was (custom speed included) and the request is refused.
//
// A pty is a virtual wire: its driver forces 8 data bits and no parity
// whatever is asked. For a pty the settings keep the requested data bits and
// parity and report them, instead of refusing a request the wire cannot
// tell apart from the one it carries.
//
// Not thread-safe: the owner serialises every call.
#ifndef KAVREL_PLATFORM_LINUX_LINE_SETTINGS_H
#define KAVREL_PLATFORM_LINUX_LINE_SETTINGS_H

#include <termios.h>

#include "platform/linux/device_names.h"
#include "platform/platform.h"

namespace kavrel {
namespace platform {
namespace driver {

// What a pty driver overrides whatever is asked: it always carries 8 bits
// without parity.
constexpr tcflag_t kPtyForcedControlFlags = CSIZE | PARENB;
// What the settings keep for a pty because its driver would not: the data
// bits and the parity.
constexpr tcflag_t kPtyFramingFlags = CSIZE | PARENB | PARODD | CMSPAR;

// The line's speed, to the device and back. A rate with a Bxxx code goes
// through the C library with that code; any other positive rate goes through
// termios2 as a custom speed. A device may round a rate it cannot make
// exactly; while it still reports what it made of the last request, the
// rate asked for is what the DCB reads back.
class LineSpeed {
 public:
  // The Bxxx code for exactly rate bits per second, or B0 when none matches
  // (the rate then needs a custom speed).
  static speed_t StandardCode(DWORD rate);
  // Whether a device that reports actual runs close enough to requested: a
  // rounding within the error a UART tolerates before it misreads frames.
  static bool Keeps(DWORD requested, DWORD actual);

  // Sets wanted on fd with rate as its speed in both directions, in one
  // request. rate must be positive. The outcome is judged by reading the line
  // back, not by the answer of this request (see LineSettings::Apply).
  static void ToLine(int fd, termios wanted, DWORD rate);
  // The output rate the device reports. False (errno set) when it cannot
  // be read.
  static bool FromLine(int fd, DWORD* actual);

  // Records that the device reports actual for the rate requested.
  void Record(DWORD requested, DWORD actual);
  // The rate a DCB reports for a device that reports actual.
  DWORD Reported(DWORD actual) const;

 private:
  DWORD requested_ = 0;
  DWORD actual_ = 0;
};

class LineSettings {
 public:
  // atOpen is the line as it was opened; for a pty its data bits and parity
  // are what the settings report until a DCB asks for others.
  LineSettings(TtyKind kind, const termios& atOpen);

  // Puts dcb's speed, framing, flow control and XON/XOFF characters on the
  // line behind fd as one change. ERROR_SUCCESS; ERROR_INVALID_PARAMETER
  // when the line cannot run as asked (a zero rate, a group termios cannot
  // express, or a device that did not keep the request), with the line left
  // as it was; or the error of a failed system call.
  DWORD Apply(int fd, const DCB& dcb);
  // Fills the DCB members the line carries from the device behind fd,
  // leaving every other member as it is. ERROR_SUCCESS or the error of a
  // failed system call.
  DWORD Read(int fd, DCB* dcb) const;

  // Why Apply refuses dcb, for a user: the rule of the mapping it breaks
  // ("1.5 stop bits need 5 data bits"), or, where it breaks none, that the
  // device did not keep it.
  static const char* Refusal(const DCB& dcb);

  // The halves of Apply and Read that need no device.
  // What dcb asks of a line whose settings are now *line: every group of
  // dcb mapped onto it. False, with *line unchanged, when a group refuses.
  static bool Request(const DCB& dcb, termios* line);
  // Whether a device that shows actual at the rate actualRate runs as wanted
  // and requestedRate asked, apart from what a pty overrides.
  bool Kept(const termios& wanted, DWORD requestedRate, const termios& actual,
            DWORD actualRate) const;
  // Records a request the device kept: what it reports from now on.
  void Accept(const termios& wanted, DWORD requestedRate, DWORD actualRate);
  // Fills the members the line carries from what a device shows.
  void Describe(const termios& device, DWORD actualRate, DCB* dcb) const;

 private:
  const bool pty_;
  // For a pty, the data bits and parity last asked for (or found at open).
  tcflag_t ptyFraming_;
  LineSpeed speed_;
};

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_LINE_SETTINGS_H
