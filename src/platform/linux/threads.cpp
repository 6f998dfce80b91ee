// Threads with Win32 handles: waitable, with an exit code, closable while
// they run.
#include <sched.h>

#include <mutex>
#include <system_error>
#include <thread>

#include "platform/fault_injection.h"
#include "platform/linux/waitable.h"

namespace kavrel {
namespace platform {

namespace driver {

namespace {

class ThreadObject final : public Waitable {
 public:
  ThreadObject() : Waitable(ObjectKind::kThread) {}

  bool IsSignalled() const override { return finished_; }

  // The routine runs on, as on Windows; the handle only stops naming it. A
  // thread that has finished is joined here, so nothing of it outlives its
  // handle; one still running is detached and releases itself when it ends.
  void OnHandleClosed() override {
    std::thread thread;
    bool finished;
    {
      std::lock_guard<std::mutex> lock(SignalLock());
      handleClosed_ = true;
      thread = std::move(thread_);
      finished = finished_;
    }
    if (!thread.joinable()) return;
    if (finished) {
      thread.join();
    } else {
      thread.detach();
    }
  }

  // Keeps the running thread's std::thread, unless the handle was already
  // closed (only a caller guessing handles can do that), in which case the
  // thread is left to release itself.
  void Adopt(std::thread thread) {
    {
      std::lock_guard<std::mutex> lock(SignalLock());
      if (!handleClosed_) {
        thread_ = std::move(thread);
        return;
      }
    }
    thread.detach();
  }

  // Signals the handle: wakes the threads waiting for this thread.
  void Finish(DWORD exitCode) {
    SignalScope scope;
    finished_ = true;
    exitCode_ = exitCode;
    ReleaseWaiters();
  }

  DWORD exitCode() const {
    std::lock_guard<std::mutex> lock(SignalLock());
    return exitCode_;
  }

 private:
  // All guarded by the signal lock.
  bool finished_ = false;
  bool handleClosed_ = false;
  DWORD exitCode_ = STILL_ACTIVE;
  std::thread thread_;
};

}  // namespace

}  // namespace driver

HANDLE CreateThread(void* /*security*/, std::size_t /*stackSize*/, ThreadRoutine routine,
                    void* argument, DWORD flags, std::nullptr_t /*threadId*/) {
  // Suspended creation is not offered: the library always lets a thread run.
  if (routine == nullptr || flags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return kNoHandle;
  }
  if (platform::TakeThreadCreationFault()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return kNoHandle;
  }
  auto object = std::make_shared<driver::ThreadObject>();
  // The handle exists before the thread does, so a thread that cannot be
  // started leaves nothing running behind a failed call.
  const HANDLE handle = driver::HandleTable::Process().Insert(object);
  if (handle == kNoHandle) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return kNoHandle;
  }
  try {
    std::thread thread([object, routine, argument] { object->Finish(routine(argument)); });
    object->Adopt(std::move(thread));
  } catch (const std::system_error&) {
    driver::HandleTable::Process().Remove(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return kNoHandle;
  }
  return handle;
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
  auto object = driver::FindObject<driver::ThreadObject>(thread, driver::ObjectKind::kThread);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (exitCode == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *exitCode = object->exitCode();
  return TRUE;
}

BOOL SwitchToThread() {
  sched_yield();
  return TRUE;
}

}  // namespace platform
}  // namespace kavrel
