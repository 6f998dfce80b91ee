// Storage for the host-installed hooks, which outlives every caller.
#ifndef KAVREL_PLATFORM_HANDLER_SLOT_H
#define KAVREL_PLATFORM_HANDLER_SLOT_H

#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "kavrel/host.h"

namespace kavrel {
namespace host {

// One object of type T per Tag, created on first use and never destroyed:
// the library's unload line is traced from a destructor that can run at
// process exit, after other static objects are gone. It lives in static
// storage rather than on the heap, so unloading the library leaves no
// allocation behind.
template <typename T, typename Tag>
T& Immortal() {
  alignas(T) static unsigned char storage[sizeof(T)];
  static T* const object = new (storage) T();
  return *object;
}

// A host-installed handler. It is copied out under the lock and called
// outside it, so a handler may itself install a new one.
class HandlerSlot {
 public:
  void Set(TextHandler handler) {
    auto fresh = handler ? std::make_shared<TextHandler>(std::move(handler)) : nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    handler_.swap(fresh);
  }
  std::shared_ptr<TextHandler> Get() {
    std::lock_guard<std::mutex> lock(mutex_);
    return handler_;
  }

  // fork(): held across it, so the child's copy of the handler is whole and
  // its lock free. Nothing holds the lock while host code runs.
  void HoldForFork() { mutex_.lock(); }
  void ReleaseAfterFork() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
  std::shared_ptr<TextHandler> handler_;
};

// The main window: posts hold the lock shared; SetMainWindow takes it
// exclusively, so it returns only once no post to the previous window is
// running.
struct MainWindowSlot {
  std::shared_mutex mutex;
  Window* window = nullptr;
};

// The process's slots; see Immortal.
HandlerSlot& TraceSlot();
HandlerSlot& MessageBoxSlot();
MainWindowSlot& MainWindow();

#if !defined(_WIN32)
// fork() (hooks_across_fork.cpp): the text hooks are held across it, so the
// child's copies are whole; the main window's lock starts afresh in the
// child. Every hook stays set there.
void HoldHooksForFork();
void ReleaseHooksAfterFork(bool inChild);
#endif

}  // namespace host
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_HANDLER_SLOT_H
