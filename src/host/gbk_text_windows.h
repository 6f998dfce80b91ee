// Windows: the library's texts are GBK bytes (code page 936); the wide API
// shows them right whatever the system's own code page is.
#ifndef KAVREL_HOST_GBK_TEXT_WINDOWS_H
#define KAVREL_HOST_GBK_TEXT_WINDOWS_H

#include <string>

namespace kavrel {
namespace host {

// Converts GBK bytes to UTF-16. Bytes that are not valid GBK become U+FFFD;
// a null pointer gives an empty text.
std::wstring GbkToUtf16(const char* gbkText);

}  // namespace host
}  // namespace kavrel

#endif  // KAVREL_HOST_GBK_TEXT_WINDOWS_H
