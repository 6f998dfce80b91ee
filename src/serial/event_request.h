// The listener's request for the device's next event: WaitCommEvent on a
// private OVERLAPPED record, the mask the device writes when the request
// ends, and the device it was issued on.
#ifndef KAVREL_SERIAL_EVENT_REQUEST_H
#define KAVREL_SERIAL_EVENT_REQUEST_H

#include "kavrel/types.h"

namespace kavrel {
namespace serial {

// A manual-reset event, not signalled; empty when the system refuses one,
// an allocation that fails included.
HANDLE CreateManualResetEvent();

// The device holds the record and the mask while a request is pending, so
// the object stays where it is (no copy, no move) and a pending request is
// cancelled and waited for before the object goes.
class EventRequest {
 public:
  enum class Outcome {
    kReported,  // ended with events: see reportedBytes()
    kPending,   // still outstanding: completion() is signalled when it ends
    kFailed,    // refused or ended with an error (the device gone or closed)
  };

  // Creates the completion event; check ready().
  EventRequest();
  ~EventRequest();
  EventRequest(const EventRequest&) = delete;
  EventRequest& operator=(const EventRequest&) = delete;

  bool ready() const { return record_.hEvent != HANDLE{}; }
  bool pending() const { return pending_; }
  // The device the pending request was issued on.
  HANDLE device() const { return device_; }
  // Signalled when a pending request ends.
  HANDLE completion() const { return record_.hEvent; }
  // Whether the request that last ended with events reported received bytes.
  bool reportedBytes() const;
  // The events the request that last ended reported.
  DWORD reportedEvents() const { return mask_; }

  // Asks device for its next event. Only while no request is pending.
  Outcome Issue(HANDLE device);
  // How the pending request stands now, without waiting.
  Outcome Poll();
  // Cancels a pending request and waits until the device has let go of the
  // record; nothing when none is pending.
  void Cancel();

 private:
  OVERLAPPED record_{};
  DWORD mask_ = 0;  // written by the device when a request ends
  HANDLE device_{};
  bool pending_ = false;
};

}  // namespace serial
}  // namespace kavrel

#endif  // KAVREL_SERIAL_EVENT_REQUEST_H
