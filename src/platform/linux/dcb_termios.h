// DCB <-> termios, one setting at a time. The speed has its own way to the
// line and back (LineSpeed in line_settings.h), because a custom rate needs
// termios2.
//
// Each pair below owns one group of DCB members and exactly the termios
// fields that carry it, and leaves every other field as it found it, so the
// groups can be applied in any order on top of the device's current
// settings. A mapping that meets a request termios cannot express refuses it
// (returns false, and names the rule it broke in *refusal when asked)
// instead of approximating: SetCommState then fails and the device stays as
// it was.
//
// The reading side fills only the DCB members its group owns; members no
// termios field carries are left as the DCB had them, which is how the
// device object keeps them.
#ifndef KAVREL_PLATFORM_LINUX_DCB_TERMIOS_H
#define KAVREL_PLATFORM_LINUX_DCB_TERMIOS_H

#include <termios.h>

#include "platform/platform.h"

namespace kavrel {
namespace platform {
namespace driver {

// Data bits, parity and stop bits (CSIZE, PARENB, PARODD, CMSPAR, CSTOPB) and
// parity checking (INPCK). ByteSize 5 to 8; parity none, odd, even, mark or
// space; one stop bit always, two with 6 to 8 data bits, one and a half with
// 5 (a UART sends 1.5 stop bits where CSTOPB meets 5 data bits).
bool LineControlToTermios(const DCB& dcb, termios* settings, const char** refusal = nullptr);
void LineControlFromTermios(const termios& settings, DCB* dcb);

// Handshaking: RTS/CTS (CRTSCTS) and XON/XOFF (IXON, IXOFF). termios has one
// flag for both directions of RTS/CTS, so fOutxCtsFlow and an RTS handshake
// come only together; DSR flow and sensitivity, a DTR handshake and RTS
// toggling have no termios form at all.
bool FlowControlToTermios(const DCB& dcb, termios* settings, const char** refusal = nullptr);
void FlowControlFromTermios(const termios& settings, DCB* dcb);

// The XON and XOFF characters (VSTART, VSTOP). They must differ while
// XON/XOFF is on. Replacing bytes received with errors (fErrorChar) or
// dropping NUL bytes (fNull) is beyond the line discipline and is refused.
bool SpecialCharsToTermios(const DCB& dcb, termios* settings, const char** refusal = nullptr);
void SpecialCharsFromTermios(const termios& settings, DCB* dcb);

// What a Windows port's line discipline is: none. Every byte passes
// unchanged in both directions: no echo, no line editing, no CR/LF mapping,
// no signal characters, no software flow control, no output processing. The
// receiver is on and modem control lines are ignored; speed, stop bits and
// RTS/CTS stay as they were.
void MakeRaw(termios* settings);

// Whether a line read back from the device is raw as MakeRaw asks: every
// transformation off, the receiver on, reads satisfied by one byte.
bool IsRaw(const termios& settings);

// The termios flags the mappings above decide.
constexpr tcflag_t kDecidedControlFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr tcflag_t kDecidedInputFlags = INPCK | IXON | IXOFF;

// Whether the device kept every decided field of wanted, apart from the
// control flags in ignored.
bool DeviceKept(const termios& wanted, const termios& actual, tcflag_t ignored);

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_DCB_TERMIOS_H
