// Why a Kavrel call failed.
//
// The legacy SerialCtl calls report failure only as their result (an open
// that leaves IsSerialOpen() false, a WriteSerial that returns 0). After such
// a failure the calling thread can ask why: the Win32 error code behind it
// and a short English text a host can show to its user ("no such device",
// "in use by another program (pid 4711)", "settings refused: 1.5 stop bits
// need 5 data bits"). The same on both platforms.
#ifndef KAVREL_ERRORS_H
#define KAVREL_ERRORS_H

#include <string>

#include "kavrel/types.h"

namespace kavrel {

struct ErrorReason {
  // The Win32 error code (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ...);
  // 0 when no Kavrel call has failed on this thread.
  DWORD code = 0;
  // A short English text for a user; empty when code is 0.
  std::string text;
};

// The reason of the most recent Kavrel call that failed on the calling
// thread. Calls that succeed leave it as it was, as Win32's GetLastError
// does, so read it right after the failure it explains.
KAVREL_API ErrorReason GetLastErrorReason();

}  // namespace kavrel

#endif  // KAVREL_ERRORS_H
