// Event objects and waits on events and threads.
#include "platform/linux/events.h"

#include <chrono>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/linux/overlapped_status.h"

namespace kavrel {
namespace platform {

namespace driver {

namespace {

// The most objects one wait may name, as on Windows.
constexpr DWORD kMaximumWaitObjects = 64;

// Waits on the board until ready() holds or the time-out passes. Called and
// returns with the board's mutex held by lock.
template <typename Ready>
bool WaitOnBoard(std::unique_lock<std::mutex>& lock, DWORD timeoutMs, Ready ready) {
  SignalBoard& board = SignalBoard::Process();
  if (timeoutMs == INFINITE) {
    board.changed.wait(lock, ready);
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  return board.changed.wait_until(lock, deadline, ready);
}

}  // namespace

SignalBoard& SignalBoard::Process() {
  static SignalBoard* const board = new SignalBoard;
  return *board;
}

void EventObject::Set() {
  SignalBoard& board = SignalBoard::Process();
  std::lock_guard<std::mutex> lock(board.mutex);
  signalled_ = true;
  board.changed.notify_all();
}

void EventObject::Reset() {
  std::lock_guard<std::mutex> lock(SignalBoard::Process().mutex);
  signalled_ = false;
}

std::shared_ptr<EventObject> FindEvent(HANDLE handle) {
  return FindObject<EventObject>(handle, ObjectKind::kEvent);
}

void AnnounceCompletion(EventObject* event) {
  SignalBoard& board = SignalBoard::Process();
  std::lock_guard<std::mutex> lock(board.mutex);
  if (event != nullptr) event->SetLocked();
  board.changed.notify_all();
}

void WaitForCompletion(const OVERLAPPED* overlapped) {
  // The status is stored before the board's mutex is taken to announce it,
  // so checking it under the mutex cannot miss the wake-up.
  std::unique_lock<std::mutex> lock(SignalBoard::Process().mutex);
  WaitOnBoard(lock, INFINITE, [overlapped] { return LoadStatus(overlapped) != kStatusPending; });
}

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
  std::vector<std::shared_ptr<driver::Waitable>> waitables;
  waitables.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    std::shared_ptr<driver::KernelObject> object = driver::HandleTable::Process().Find(objects[i]);
    if (object == nullptr || object->kind() == driver::ObjectKind::kDevice) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    auto waitable = std::static_pointer_cast<driver::Waitable>(object);
    // Waiting for all of a list that names one object twice is refused, as
    // on Windows: taking an auto-reset event twice at once has no meaning.
    if (waitAll != FALSE) {
      for (const auto& earlier : waitables) {
        if (earlier == waitable) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return WAIT_FAILED;
        }
      }
    }
    waitables.push_back(std::move(waitable));
  }

  std::unique_lock<std::mutex> lock(driver::SignalBoard::Process().mutex);
  DWORD satisfied = WAIT_TIMEOUT;
  auto ready = [&] {
    if (waitAll != FALSE) {
      for (const auto& waitable : waitables) {
        if (!waitable->IsSignalled()) return false;
      }
      for (const auto& waitable : waitables) waitable->Consume();
      satisfied = WAIT_OBJECT_0;
      return true;
    }
    for (DWORD i = 0; i < count; ++i) {
      if (waitables[i]->IsSignalled()) {
        waitables[i]->Consume();
        satisfied = WAIT_OBJECT_0 + i;
        return true;
      }
    }
    return false;
  };
  driver::WaitOnBoard(lock, timeoutMs, ready);
  return satisfied;
}

}  // namespace platform
}  // namespace kavrel
