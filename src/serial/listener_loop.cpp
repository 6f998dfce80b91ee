// The listener thread: a small state machine that watches the device and
// posts the data-ready notification to the host's main window while received
// bytes wait.
//
// Each cycle first takes a look, under the object's lock: what the event
// request reported, whether the device changed, and, when that can matter,
// how many bytes wait. The look decides the state, and the state decides how
// the thread waits until the next look, outside the lock:
//
//   kNoDevice       nothing to watch (no device, or one whose event request
//                   fails, as a device that has gone): wait for a wake.
//   kAwaitingEvent  an event request is pending: wait for it or a wake.
//   kEventReported  a request ended at once with events that came while
//                   none was pending: look again at once.
//   kBytesWaiting   received bytes wait unread: the settle delay, one
//                   notification, the poll interval; the next look counts
//                   them again.
//   kStopping       a stop was asked for, or the open failed: leave.
//
// The input queue is counted whenever it may hold unannounced bytes: when
// the listener starts (bytes may have waited since an earlier listener),
// when the device changed, when a request reported received bytes, while
// bytes wait, and when a request failed: a device that has gone still holds
// what arrived before it went, and those bytes are announced like any other
// until the host reads them.
//
// While a modem wait of the host's (kavrel/port_control.h) runs beside it,
// the listener's request asks for those modem events too, and the listener
// hands what it sees of them to the wait: the device has one event request
// at a time, and it stays the listener's.
#include "host/host_services.h"
#include "kavrel/SerialCtl.h"
#include "platform/platform.h"
#include "serial/event_request.h"
#include "serial/port_control_access.h"
#include "serial/serial_internal.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such
using kavrel::serial::ControlAccess;
using kavrel::serial::EventRequest;

namespace {

constexpr kavrel::DWORD kListenerEndedByItself = 0;
constexpr kavrel::DWORD kListenerStopped = 1;
constexpr kavrel::DWORD kListenerEventFailed = 0xFFFFFFFFu;

kavrel::DWORD Milliseconds(kavrel::LONG value) {
  return value > 0 ? static_cast<kavrel::DWORD>(value) : 0;
}

}  // namespace

class SerialCtl::ListenerLoop {
 public:
  // Creates the listener's two events (the request's, then the wake event);
  // check ready().
  explicit ListenerLoop(SerialCtl& port)
      : port_(port),
        wake_(request_.ready() ? kavrel::serial::CreateManualResetEvent() : kNoHandle) {}

  // Cancels a pending request and withdraws the wake event under the lock:
  // once this returns the listener no longer touches the object.
  ~ListenerLoop() {
    if (!ready()) return;
    {
      std::lock_guard<std::mutex> lock(port_.stateMutex_);
      request_.Cancel();
      port_.listenerWake_ = kNoHandle;
    }
    CloseHandle(wake_);
  }

  ListenerLoop(const ListenerLoop&) = delete;
  ListenerLoop& operator=(const ListenerLoop&) = delete;

  bool ready() const { return wake_ != kNoHandle; }

  // Runs until stopped or until the open has failed; the thread's exit code.
  kavrel::DWORD Run() {
    Start();
    for (;;) {
      switch (Look()) {
        case State::kStopping:
          return exitCode_;
        case State::kNoDevice:
          WaitForSingleObject(wake_, INFINITE);
          break;
        case State::kAwaitingEvent:
          AwaitEvent();
          break;
        case State::kBytesWaiting:
          if (!Announce()) return kListenerStopped;
          break;
        case State::kEventReported:
        case State::kStarting:
          break;
      }
    }
  }

 private:
  enum class State {
    kStarting,
    kNoDevice,
    kAwaitingEvent,
    kEventReported,
    kBytesWaiting,
    kStopping,
  };

  // Makes the listener wakeable and chooses the events the device reports.
  void Start() {
    std::lock_guard<std::mutex> lock(port_.stateMutex_);
    port_.listenerWake_ = wake_;
    SetCommMask(port_.portHandle, kavrel::serial::kPortEvents);
  }

  // Under the lock: everything that touches the device or the shared fields,
  // so the host can swap or close portHandle under the same lock.
  State Look() {
    std::lock_guard<std::mutex> lock(port_.stateMutex_);
    ResetEvent(wake_);
    state_ = Decide();
    return state_;
  }

  State Decide() {
    if (port_.listenerStopRequested_.load()) {
      exitCode_ = kListenerStopped;
      return State::kStopping;
    }
    const kavrel::HANDLE device = port_.portHandle;
    if (device == INVALID_HANDLE_VALUE) {
      exitCode_ = kListenerEndedByItself;
      return State::kStopping;
    }
    bool countQueue =
        state_ == State::kStarting || state_ == State::kBytesWaiting || device != watched_;
    // An open sets the port's own events on its device.
    if (device != watched_) mask_ = kavrel::serial::kPortEvents;
    watched_ = device;
    // The events a modem wait asks for join the mask while it runs; a new
    // mask ends a pending request, which is then asked again below.
    const kavrel::DWORD wanted =
        kavrel::serial::kPortEvents | ControlAccess::ModemEventsWatched(port_);
    if (device != kNoHandle && wanted != mask_) {
      SetCommMask(device, wanted);
      mask_ = wanted;
    }

    // What the device said since the last look, and a request pending on it
    // for what it says next.
    if (request_.pending() && request_.device() != device) {
      // Issued on a device the host has since closed or replaced.
      request_.Cancel();
    }
    EventRequest::Outcome outcome = EventRequest::Outcome::kPending;
    if (request_.pending()) {
      outcome = request_.Poll();
      countQueue = countQueue || CallsForCount(outcome);
      HandOverModemEvents(outcome);
    }
    if (!request_.pending() && device != kNoHandle) {
      outcome = request_.Issue(device);
      countQueue = countQueue || CallsForCount(outcome);
      HandOverModemEvents(outcome);
    }

    if (countQueue && device != kNoHandle && CountQueued(device) != 0) {
      settleDelay_ = Milliseconds(port_.settleDelayMs);
      pollInterval_ = Milliseconds(port_.pollIntervalMs);
      tag_ = port_.notifyTag;
      return State::kBytesWaiting;
    }
    if (request_.pending()) return State::kAwaitingEvent;
    // Events recorded while no request was pending end a request at once;
    // the next look asks again straight away.
    if (outcome == EventRequest::Outcome::kReported) return State::kEventReported;
    return State::kNoDevice;
  }

  // A request that reported received bytes, or that failed: a device that
  // has gone still holds what arrived before it went.
  bool CallsForCount(EventRequest::Outcome outcome) const {
    return outcome == EventRequest::Outcome::kFailed ||
           (outcome == EventRequest::Outcome::kReported && request_.reportedBytes());
  }

  void HandOverModemEvents(EventRequest::Outcome outcome) {
    if (outcome == EventRequest::Outcome::kReported) {
      ControlAccess::ReportModemEvents(port_, request_.reportedEvents());
    }
  }

  // Refreshes the shared status snapshot; the bytes waiting to be read.
  kavrel::DWORD CountQueued(kavrel::HANDLE device) {
    kavrel::DWORD errors = 0;
    return ClearCommError(device, &errors, &port_.commStatus) ? port_.commStatus.cbInQue : 0;
  }

  void AwaitEvent() {
    const kavrel::HANDLE waitFor[2] = {wake_, request_.completion()};
    WaitForMultipleObjects(2, waitFor, FALSE, INFINITE);
  }

  // The settle delay, one notification, the poll interval. A wake cuts
  // either wait short; only a stop ends the cycle without posting. False
  // when the listener is to stop.
  bool Announce() {
    if (WaitForSingleObject(wake_, settleDelay_) == WAIT_OBJECT_0 &&
        port_.listenerStopRequested_.load()) {
      return false;
    }
    kavrel::host::PostToMainWindow(KAVREL_WM_DATA_READY, 0, static_cast<kavrel::LPARAM>(tag_));
    if (pollInterval_ == 0) {
      // A zero interval still gives way, as a zero-length sleep does: the
      // host thread woken by the post may be waiting for this processor,
      // and a cycle that kept it would post on, unread, until the
      // scheduler's next tick.
      SwitchToThread();
    } else {
      WaitForSingleObject(wake_, pollInterval_);
    }
    return true;
  }

  SerialCtl& port_;
  EventRequest request_;
  const kavrel::HANDLE wake_;
  State state_ = State::kStarting;
  // The device the last look saw, and the events asked of it.
  kavrel::HANDLE watched_ = kNoHandle;
  kavrel::DWORD mask_ = kavrel::serial::kPortEvents;
  kavrel::DWORD exitCode_ = kListenerEndedByItself;
  // Read by the look that found bytes waiting, for the cycle that posts.
  kavrel::DWORD settleDelay_ = 0;
  kavrel::DWORD pollInterval_ = 0;
  kavrel::LONG tag_ = 0;
};

kavrel::DWORD KAVREL_CALLBACK SerialCtl::SerialListenProc(void* object) {
  SerialCtl& port = *static_cast<SerialCtl*>(object);
  try {
    {
      ListenerLoop loop(port);
      if (loop.ready()) return loop.Run();
    }
    kavrel::host::ShowMessageBox(kavrel::serial::kListenerEventFailedText);
  } catch (...) {
    // Nothing the loop calls is meant to throw; should a platform call run
    // out of memory all the same, the listener has already let go of the
    // object, and it ends as it does without its events instead of taking
    // the process down.
    kavrel::host::ShowMessageBox(kavrel::serial::kListenerEventFailedText);
  }
  return kListenerEventFailed;
}
