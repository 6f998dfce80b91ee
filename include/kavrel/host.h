// How Kavrel reaches its host: the main window that receives the data-ready
// notification, the message box and the debug trace.
//
// Every function here may be called from any thread.
#ifndef KAVREL_HOST_H
#define KAVREL_HOST_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "kavrel/types.h"

namespace kavrel {

// One posted window message.
struct Message {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

// The host's main window as the listener sees it. A GUI host implements Post
// with its toolkit's thread-safe post (Qt's queued invocation, GLib's idle
// source, Win32's PostMessage). Post is called from the listener thread and
// must not block for long: the listener waits for it.
class KAVREL_API Window {
 public:
  virtual ~Window() = default;
  virtual void Post(UINT message, WPARAM wParam, LPARAM lParam) = 0;
};

// Sets the window that receives notifications; nullptr drops them. Returns
// only once no post to the previous window is running, so a host may destroy
// that window as soon as this returns. A Window::Post must not call it.
KAVREL_API void SetMainWindow(Window* window);
KAVREL_API Window* GetMainWindow();

// A main window for hosts without a GUI toolkit: a thread-safe queue of
// posted messages that the host's thread drains.
class KAVREL_API MessageQueue : public Window {
 public:
  // Thread-safe and never blocks on the consumer.
  void Post(UINT message, WPARAM wParam, LPARAM lParam) override;
  // Takes the oldest message, waiting up to timeoutMs milliseconds for one
  // (a negative value waits without limit). False on time-out.
  bool Wait(Message& out, int timeoutMs);

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<Message> messages_;
};

// Receives each of the library's texts. Message-box texts are the library's
// own bytes (Simplified Chinese in GBK); trace lines arrive one per call,
// exactly as formatted, with their trailing "\n".
using TextHandler = std::function<void(const char* text)>;

// An empty handler restores the default: message boxes are converted to UTF-8
// and written to stderr; trace lines go nowhere (on Windows, to the
// debugger's channel) unless the environment variable KAVREL_TRACE is set
// (to anything but "" or "0"), in which case they are written to stderr with
// control bytes shown as \xNN.
// The message-box handler runs on the thread that raises the message box and
// blocks it until it returns, as a modal box would.
KAVREL_API void SetMessageBoxHandler(TextHandler handler);

// The library writes its unload line when it is unloaded, which can be at
// process exit after the host's own static objects are gone. A host whose
// handler uses such objects must unset it (SetTraceHandler({})) before they
// are destroyed.
KAVREL_API void SetTraceHandler(TextHandler handler);

}  // namespace kavrel

#endif  // KAVREL_HOST_H
