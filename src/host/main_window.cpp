#include <chrono>
#include <mutex>
#include <shared_mutex>

#include "host/handler_slot.h"
#include "host/host_services.h"
#include "kavrel/host.h"

namespace kavrel {

namespace host {

MainWindowSlot& MainWindow() { return Immortal<MainWindowSlot, MainWindowSlot>(); }

}  // namespace host

namespace {

host::MainWindowSlot& Slot() { return host::MainWindow(); }

}  // namespace

void SetMainWindow(Window* window) {
  std::unique_lock<std::shared_mutex> lock(Slot().mutex);
  Slot().window = window;
}

Window* GetMainWindow() {
  std::shared_lock<std::shared_mutex> lock(Slot().mutex);
  return Slot().window;
}

void MessageQueue::Post(UINT message, WPARAM wParam, LPARAM lParam) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(Message{message, wParam, lParam});
  }
  posted_.notify_one();
}

bool MessageQueue::Wait(Message& out, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto ready = [this] { return !messages_.empty(); };
  if (timeoutMs < 0) {
    posted_.wait(lock, ready);
  } else if (!posted_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
    return false;
  }
  out = messages_.front();
  messages_.pop_front();
  return true;
}

namespace host {

void PostToMainWindow(UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    std::shared_lock<std::shared_mutex> lock(Slot().mutex);
    if (Slot().window != nullptr) Slot().window->Post(message, wParam, lParam);
  } catch (...) {
    // A failing post is not reported, as a failing PostMessage is not; the
    // listener goes on.
  }
}

}  // namespace host
}  // namespace kavrel
