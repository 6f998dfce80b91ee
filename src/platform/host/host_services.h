// The library's side of the host hooks: how the serial code traces, raises a
// message box and posts to the host's main window.
#ifndef KAVREL_PLATFORM_HOST_SERVICES_H
#define KAVREL_PLATFORM_HOST_SERVICES_H

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

// Converts the library's GBK text to UTF-8 for display. Text that does not
// convert is passed on unchanged.
std::string GbkToUtf8(const char* gbkText);

}  // namespace host
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_HOST_SERVICES_H
