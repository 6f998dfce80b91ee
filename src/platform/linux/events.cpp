// Event objects, how a finished operation is announced, and the Win32 wait
// calls.
#include "platform/linux/events.h"

#include <mutex>

#include "platform/fault_injection.h"
#include "platform/linux/overlapped_status.h"

namespace kavrel {
namespace platform {

namespace driver {

namespace {

// Where the completions of operations without a findable event are
// announced. It is never set and has no handle; only waits for a change of
// it (WaitForCompletion) ever queue on it. Never destroyed, like the lock.
EventObject& EventlessCompletions() {
  static EventObject* const announcer = new EventObject(true, false);
  return *announcer;
}

}  // namespace

void EventObject::OnHandleClosed() {
  std::lock_guard<std::mutex> lock(SignalLock());
  handleClosed_ = true;
}

void EventObject::Set() {
  SignalScope scope;
  SetLocked();
}

void EventObject::SetLocked() {
  signalled_ = true;
  ReleaseWaiters();
}

void EventObject::Reset() {
  std::lock_guard<std::mutex> lock(SignalLock());
  signalled_ = false;
}

std::shared_ptr<EventObject> FindEvent(HANDLE handle) {
  return FindObject<EventObject>(handle, ObjectKind::kEvent);
}

void AnnounceCompletion(EventObject* event) {
  SignalScope scope;
  if (event != nullptr) event->SetLocked();
  if (event == nullptr || event->handleClosed()) EventlessCompletions().ReleaseWaiters();
}

void WaitForCompletion(const OVERLAPPED* overlapped) {
  // An event found here stays alive, and is set when the operation ends,
  // even if its handle is closed meanwhile. One not found (no event, or its
  // handle already closed) means the completion is announced to waiters
  // without an event.
  std::shared_ptr<EventObject> event;
  if (overlapped->hEvent != kNoHandle) event = FindEvent(overlapped->hEvent);
  Waitable* const announcer = event != nullptr ? event.get() : &EventlessCompletions();
  // The status is stored before the signal lock is taken to announce it, so
  // checking it under the lock cannot miss the wake-up. Setting the event
  // for another reason (by hand, or for another record that shares it) only
  // makes the waiter check again.
  std::unique_lock<std::mutex> lock(SignalLock());
  while (LoadStatus(overlapped) == kStatusPending) {
    WaitFor(lock, &announcer, 1, WaitKind::kChange, INFINITE);
  }
}

void ForgetEventlessWaiters() { EventlessCompletions().ForgetWaiters(); }

}  // namespace driver

HANDLE CreateEventA(void* /*security*/, BOOL manualReset, BOOL initialState, const char* /*name*/) {
  // Names are ignored: the library never shares an event between processes.
  if (platform::TakeEventCreationFault()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return kNoHandle;
  }
  auto event = std::make_shared<driver::EventObject>(manualReset != FALSE, initialState != FALSE);
  const HANDLE handle = driver::HandleTable::Process().Insert(std::move(event));
  if (handle == kNoHandle) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return handle;
}

BOOL SetEvent(HANDLE event) {
  std::shared_ptr<driver::EventObject> object = driver::FindEvent(event);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  std::shared_ptr<driver::EventObject> object = driver::FindEvent(event);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->Reset();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD timeoutMs) {
  return WaitForMultipleObjects(1, &object, FALSE, timeoutMs);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD timeoutMs) {
  if (count == 0 || count > driver::kMaximumWaitObjects || objects == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  // The references keep every object alive for the wait, even if another
  // thread closes its handle meanwhile.
  std::shared_ptr<driver::Waitable> held[driver::kMaximumWaitObjects];
  driver::Waitable* waitables[driver::kMaximumWaitObjects];
  for (DWORD i = 0; i < count; ++i) {
    std::shared_ptr<driver::KernelObject> object = driver::HandleTable::Process().Find(objects[i]);
    if (object == nullptr || object->kind() == driver::ObjectKind::kDevice) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    held[i] = std::static_pointer_cast<driver::Waitable>(std::move(object));
    waitables[i] = held[i].get();
    // Waiting for all of a list that names one object twice is refused, as
    // on Windows: taking an auto-reset event twice at once has no meaning.
    if (waitAll != FALSE) {
      for (DWORD earlier = 0; earlier < i; ++earlier) {
        if (waitables[earlier] == waitables[i]) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return WAIT_FAILED;
        }
      }
    }
  }

  std::unique_lock<std::mutex> lock(driver::SignalLock());
  return driver::WaitFor(lock, waitables, count,
                         waitAll != FALSE ? driver::WaitKind::kAll : driver::WaitKind::kAny,
                         timeoutMs);
}

}  // namespace platform
}  // namespace kavrel
