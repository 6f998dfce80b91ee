// What every kavrel-term mode shares: the library's hooks wired to the
// terminal, the line settings and controls from the command line, and
// opening a port with the library's reason when it does not open.
#ifndef KAVREL_TERM_SESSION_H
#define KAVREL_TERM_SESSION_H

#include <string>

#include "kavrel/SerialCtl.h"

namespace kavrel_term {

struct LineOptions {
  std::string port;
  long baud = 115200;
  int dataBits = 8;
  std::string stopBits = "1";  // "1", "1.5" or "2"
  std::string parity = "none";
  std::string capture;  // empty: no capture file
  // The listener's timing (ListenSerial): 0 and 0 announce bytes as soon as
  // the library sees them; larger values gather a burst into fewer, larger
  // deliveries.
  long settleMs = 0;
  long pollMs = 0;
  // Reads that find nothing queued wait this long for the first bytes
  // (the library's read wait); 0: they return at once.
  unsigned readWaitMs = 0;

  // The line controls, in lower case. flow: "none", "rtscts", "xonxoff" or
  // "dtrdsr".
  std::string flow = "none";
  unsigned char xon = 0x11;
  unsigned char xoff = 0x13;
  std::string dtr;  // "on", "off", or empty: as the open leaves it
  std::string rts;
  // Put the line's settings back as the open found them when the port
  // closes (--no-reset turns it off).
  bool restoreOnClose = true;
};

// "115200 baud, 8 data bits, 1 stop bit, no parity", and the flow control
// when there is one (", RTS/CTS flow control").
std::string DescribeLine(const LineOptions& options);
// "8N1", "7E2", "5N1.5".
std::string ShortLine(const LineOptions& options);

// Installs kavrel-term's handler for the library's message boxes, and
// restores the default when it goes out of scope. Message boxes are
// collected (converted to UTF-8) so the mode that caused one can report it
// in its own error line.
class HostHooks {
 public:
  HostHooks();
  ~HostHooks();
  HostHooks(const HostHooks&) = delete;
  HostHooks& operator=(const HostHooks&) = delete;

  // Shows the library's trace lines on stderr (control bytes escaped) from
  // now on, whatever KAVREL_TRACE says. Without it the library's own
  // default holds: nothing, unless KAVREL_TRACE is set.
  static void ShowTrace();
  // The message-box texts raised since the last call, joined by "; ".
  static std::string TakeMessages();
};

// The reason the library gave for the calling thread's last failed call,
// with its code: "no such device (error 2)".
std::string LibraryReason();

// True when PORT is a path ("/dev/serial/by-id/...", a socat link), which
// OpenPort names at run time, rather than a port name ("ttyUSB0", "pts/3",
// "COM1", a named port).
bool IsDevicePath(const std::string& port);

// Names a path PORT for the library, stores the settings and the controls,
// opens the port, sets DTR and RTS and, when asked, attaches the capture
// file (appending to it). Returns an empty string on success, otherwise one
// line saying why, from the library where it knows ("ttyUSB0: no such
// device (error 2)"). On failure the port is closed.
std::string OpenPort(SerialCtl& port, const LineOptions& options);

}  // namespace kavrel_term

#endif  // KAVREL_TERM_SESSION_H
