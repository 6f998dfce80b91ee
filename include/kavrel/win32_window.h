// A main window for Win32 hosts: the listener's data-ready notification
// becomes a real window message, posted to the host's own window.
//
//   kavrel::Win32Window mainWindow(hwnd);
//   kavrel::SetMainWindow(&mainWindow);
//   ...   // the window procedure handles KAVREL_WM_DATA_READY
//   kavrel::SetMainWindow(nullptr);   // before the window is destroyed
#ifndef KAVREL_WIN32_WINDOW_H
#define KAVREL_WIN32_WINDOW_H

#if !defined(_WIN32)
#error "kavrel/win32_window.h is for Windows hosts; use kavrel::MessageQueue elsewhere"
#endif

#include "kavrel/host.h"

namespace kavrel {

class KAVREL_API Win32Window : public Window {
 public:
  explicit Win32Window(HWND window) : window_(window) {}

  // PostMessageA to the window: never waits for the window's thread. A post
  // the system refuses (the window is gone, its queue is full) is dropped,
  // and the listener goes on.
  void Post(UINT message, WPARAM wParam, LPARAM lParam) override;

  HWND handle() const { return window_; }

 private:
  HWND window_;
};

}  // namespace kavrel

#endif  // KAVREL_WIN32_WINDOW_H
