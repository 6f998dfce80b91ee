// What every kavrel-term mode shares: the library's hooks wired to the
// terminal, the line settings from the command line, and opening a port with
// a one-line reason when it does not open.
#ifndef KAVREL_TERM_SESSION_H
#define KAVREL_TERM_SESSION_H

#include <string>

#include "kavrel/SerialCtl.h"

namespace kavrel_term {

// Messages kavrel-term posts to its own kavrel::MessageQueue beside the
// library's KAVREL_WM_DATA_READY, in the WM_USER range as a Windows host would.
constexpr kavrel::UINT kInputMessage = 0x0400 + 100;       // input bytes wait in the pump
constexpr kavrel::UINT kInputEndedMessage = 0x0400 + 101;  // end of input (wParam: errno or 0)
constexpr kavrel::UINT kSignalMessage = 0x0400 + 102;      // wParam: the signal number

struct LineOptions {
  std::string port;
  long baud = 115200;
  int dataBits = 8;
  std::string stopBits = "1";  // "1", "1.5" or "2"
  std::string parity = "none";
  std::string capture;  // empty: no capture file
};

// "115200 baud, 8 data bits, 1 stop bit, no parity".
std::string DescribeLine(const LineOptions& options);
// "8N1", "7E2", "5N1.5".
std::string ShortLine(const LineOptions& options);

// Installs kavrel-term's handlers for the library's message boxes and trace
// lines, and restores the defaults when it goes out of scope. Message boxes
// are collected (converted to UTF-8) so the mode that caused one can report
// it in its own error line; trace lines are shown only when verbose.
class HostHooks {
 public:
  HostHooks();
  ~HostHooks();
  HostHooks(const HostHooks&) = delete;
  HostHooks& operator=(const HostHooks&) = delete;

  // Shows the library's trace lines on stderr from now on.
  static void ShowTrace(bool show);
  // The message-box texts raised since the last call, joined by "; ".
  static std::string TakeMessages();
};

// Stores the settings, opens the port and, when asked, attaches the capture
// file. Returns an empty string on success, otherwise one line saying why
// ("ttyUSB0: no such port (...)"). On failure the port is closed.
std::string OpenPort(SerialCtl& port, const LineOptions& options);

// Writes all of data to a file descriptor, waiting when it is non-blocking.
// False (errno set) when the descriptor fails, for example a closed pipe.
bool WriteAllToFd(int fd, const void* data, std::size_t size);

}  // namespace kavrel_term

#endif  // KAVREL_TERM_SESSION_H
