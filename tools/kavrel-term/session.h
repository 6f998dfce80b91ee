// What every kavrel-term mode shares: the library's hooks wired to the
// terminal, the line settings from the command line, and opening a port with
// a one-line reason when it does not open.
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
  // The line controls a terminal user expects (flow control, DTR and RTS at
  // open, keeping the line's previous settings for the exit) belong here
  // once the library has calls for them.
};

// "115200 baud, 8 data bits, 1 stop bit, no parity".
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

// Stores the settings, opens the port and, when asked, attaches the capture
// file (appending to it). Returns an empty string on success, otherwise one
// line saying why ("ttyUSB0: no such port (...)"). On failure the port is
// closed.
std::string OpenPort(SerialCtl& port, const LineOptions& options);

}  // namespace kavrel_term

#endif  // KAVREL_TERM_SESSION_H
