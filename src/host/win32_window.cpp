#include "kavrel/win32_window.h"

namespace kavrel {

void Win32Window::Post(UINT message, WPARAM wParam, LPARAM lParam) {
  ::PostMessageA(window_, message, wParam, lParam);
}

}  // namespace kavrel
