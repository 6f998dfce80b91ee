// The library's side of the host hooks: how the serial code traces, raises a
// message box and posts to the host's main window.
#ifndef KAVREL_HOST_SERVICES_H
#define KAVREL_HOST_SERVICES_H

#include <string>

#include "kavrel/types.h"

namespace kavrel {
namespace host {

// Formats one debug trace line (printf-style) and hands it to the trace
// handler exactly as formatted. Never throws.
void Trace(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Shows a modal message box with an OK button: the text is the library's
// own GBK bytes. Blocks the calling thread until the handler returns.
void ShowMessageBox(const char* gbkText);

// Posts a message to the main window set by the host; dropped when none is
// set. Never throws.
void PostToMainWindow(UINT message, WPARAM wParam, LPARAM lParam);

// Where texts go when the host installed no handler: one implementation per
// platform. Trace lines: nowhere unless KAVREL_TRACE is set, then stderr
// with control bytes escaped (POSIX); the debugger's channel (Windows).
// Message boxes: stderr in UTF-8 (POSIX); a real message box (Windows).
void DefaultTraceSink(const char* line);
void DefaultMessageBox(const char* gbkText);

#if !defined(_WIN32)
// line with every control byte but its final line feed shown as \xNN.
std::string EscapeControlBytes(const char* line);
#endif

}  // namespace host
}  // namespace kavrel

#endif  // KAVREL_HOST_SERVICES_H
