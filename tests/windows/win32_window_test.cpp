// The HWND main window: the listener's notification arrives in the host
// window's own message queue, with its number, wParam and lParam intact.
#include "kavrel/win32_window.h"

#include <gtest/gtest.h>

#include "kavrel/SerialCtl.h"

namespace {

// A message-only window on this thread: it needs no display.
class MessageWindow {
 public:
  MessageWindow()
      : handle_(::CreateWindowExA(0, "STATIC", "kavrel-test", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr)) {}
  ~MessageWindow() {
    if (handle_ != nullptr) ::DestroyWindow(handle_);
  }
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;

  HWND handle() const { return handle_; }

  // The next message for this window, waiting up to timeoutMs.
  bool Next(MSG& message, DWORD timeoutMs) {
    const DWORD end = ::GetTickCount() + timeoutMs;
    for (;;) {
      if (::PeekMessageA(&message, handle_, 0, 0, PM_REMOVE)) return true;
      const DWORD now = ::GetTickCount();
      if (static_cast<LONG>(end - now) <= 0) return false;
      ::MsgWaitForMultipleObjects(0, nullptr, FALSE, end - now, QS_ALLPOSTMESSAGE);
    }
  }

 private:
  HWND handle_;
};

TEST(Win32Window, PostsReachTheWindowsQueue) {
  MessageWindow window;
  ASSERT_NE(window.handle(), nullptr) << ::GetLastError();
  kavrel::Win32Window adapter(window.handle());
  EXPECT_EQ(adapter.handle(), window.handle());
  adapter.Post(KAVREL_WM_DATA_READY, 0, 0x1234);
  MSG message{};
  ASSERT_TRUE(window.Next(message, 5000));
  EXPECT_EQ(message.message, static_cast<UINT>(KAVREL_WM_DATA_READY));
  EXPECT_EQ(message.wParam, 0u);
  EXPECT_EQ(message.lParam, 0x1234);
}

TEST(Win32Window, PostsFromAnotherThreadArriveThroughTheMainWindow) {
  MessageWindow window;
  ASSERT_NE(window.handle(), nullptr);
  kavrel::Win32Window adapter(window.handle());
  kavrel::SetMainWindow(&adapter);
  // The listener posts from its own thread, as here.
  const HANDLE poster = ::CreateThread(
      nullptr, 0,
      [](void*) -> DWORD {
        kavrel::GetMainWindow()->Post(KAVREL_WM_DATA_READY, 0, -7);
        return 0;
      },
      nullptr, 0, nullptr);
  ASSERT_NE(poster, nullptr);
  ::WaitForSingleObject(poster, INFINITE);
  ::CloseHandle(poster);
  kavrel::SetMainWindow(nullptr);

  MSG message{};
  ASSERT_TRUE(window.Next(message, 5000));
  EXPECT_EQ(message.message, static_cast<UINT>(KAVREL_WM_DATA_READY));
  EXPECT_EQ(message.lParam, -7);
}

TEST(Win32Window, APostToAGoneWindowIsDropped) {
  HWND gone = nullptr;
  {
    MessageWindow window;
    gone = window.handle();
  }
  kavrel::Win32Window adapter(gone);
  adapter.Post(KAVREL_WM_DATA_READY, 0, 1);  // must neither fail nor block
  MSG message{};
  EXPECT_FALSE(
      ::PeekMessageA(&message, nullptr, KAVREL_WM_DATA_READY, KAVREL_WM_DATA_READY, PM_REMOVE));
}

}  // namespace
