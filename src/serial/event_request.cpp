#include "serial/event_request.h"

#include "platform/platform.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such

namespace kavrel {
namespace serial {

HANDLE CreateManualResetEvent() {
  try {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
  } catch (...) {
    // The emulated kernel allocates its objects: running out of memory there
    // is the system refusing the event, as on Windows.
    return kNoHandle;
  }
}

EventRequest::EventRequest() { record_.hEvent = CreateManualResetEvent(); }

EventRequest::~EventRequest() {
  // The owner cancels under its own lock; this only makes sure no device
  // still writes into the record once it is gone.
  Cancel();
  if (record_.hEvent != kNoHandle) CloseHandle(record_.hEvent);
}

bool EventRequest::reportedBytes() const { return (mask_ & EV_RXCHAR) != 0; }

EventRequest::Outcome EventRequest::Issue(HANDLE device) {
  // The mask keeps what the last request reported until the device writes
  // the next one; clearing it here makes reportedBytes() speak only of the
  // request that last ended.
  mask_ = 0;
  if (WaitCommEvent(device, &mask_, &record_)) return Outcome::kReported;
  if (GetLastError() != ERROR_IO_PENDING) return Outcome::kFailed;
  pending_ = true;
  device_ = device;
  return Outcome::kPending;
}

EventRequest::Outcome EventRequest::Poll() {
  if (!pending_) return Outcome::kFailed;
  DWORD unused = 0;
  if (GetOverlappedResult(device_, &record_, &unused, FALSE)) {
    pending_ = false;
    return Outcome::kReported;
  }
  if (GetLastError() == ERROR_IO_INCOMPLETE) return Outcome::kPending;
  pending_ = false;
  return Outcome::kFailed;
}

void EventRequest::Cancel() {
  if (!pending_) return;
  // The device may have been closed meanwhile; closing it ends the request
  // as well, so the wait below returns either way.
  CancelIoEx(device_, &record_);
  DWORD unused = 0;
  GetOverlappedResult(device_, &record_, &unused, TRUE);
  pending_ = false;
  mask_ = 0;
}

}  // namespace serial
}  // namespace kavrel
