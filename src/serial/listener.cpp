// The receive listener: a thread that watches the device and posts the
// data-ready notification to the host's main window while received bytes
// wait.
//
// It is ended cooperatively: a stop request sets a flag and signals the
// listener's wake event, which cuts its sleeps and idle waits short; the
// listener then cancels its pending event request, waits for it, releases its
// events and returns. Forced termination would leave its lock held and its
// pending request writing into a dead stack.
#include "host/host_services.h"
#include "kavrel/SerialCtl.h"
#include "platform/platform.h"
#include "serial/serial_internal.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such

namespace {

constexpr kavrel::DWORD kListenerEndedByItself = 0;
constexpr kavrel::DWORD kListenerStopped = 1;
constexpr kavrel::DWORD kListenerEventFailed = 0xFFFFFFFFu;

kavrel::DWORD Milliseconds(kavrel::LONG value) {
  return value > 0 ? static_cast<kavrel::DWORD>(value) : 0;
}

}  // namespace

void SerialCtl::ListenSerial(long settleDelay, long pollInterval) {
  // Never two listeners: a running one is ended before the new one starts.
  StopListenSerial();
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    settleDelayMs = kavrel::serial::SaturateToLong(settleDelay);
    pollIntervalMs = kavrel::serial::SaturateToLong(pollInterval);
  }
  listenerStopRequested_.store(false);
  listenerThread = CreateThread(nullptr, 0, &SerialCtl::SerialListenProc, this, 0, nullptr);
  if (listenerThread == kNoHandle) {
    kavrel::host::ShowMessageBox(kavrel::serial::kListenerThreadFailedText);
  }
}

void SerialCtl::StopListenSerial() {
  if (listenerThread == kNoHandle) return;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    listenerStopRequested_.store(true);
    if (listenerWake_ != kNoHandle) SetEvent(listenerWake_);
  }
  // Returns once the listener has released everything and will neither touch
  // the object nor post again.
  WaitForSingleObject(listenerThread, INFINITE);
  CloseHandle(listenerThread);
  listenerThread = kNoHandle;
}

kavrel::DWORD KAVREL_CALLBACK SerialCtl::SerialListenProc(void* object) {
  SerialCtl& port = *static_cast<SerialCtl*>(object);

  // A request that reports EV_RXCHAR keeps the listener posting, one
  // notification a cycle, for as long as the bytes stay unread. It stays in
  // force until a status refresh finds the input queue empty, not merely
  // until the next request reports some other event: a write's EV_TXEMPTY
  // arriving just after the bytes must not silence the notification while
  // they still wait.
  kavrel::DWORD requestMask = 0;  // written by the device when a request finishes
  bool bytesReported = false;
  kavrel::OVERLAPPED request = kavrel::OVERLAPPED();

  request.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const kavrel::HANDLE wake =
      request.hEvent != kNoHandle ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : kNoHandle;
  if (wake == kNoHandle) {
    if (request.hEvent != kNoHandle) CloseHandle(request.hEvent);
    kavrel::host::ShowMessageBox(kavrel::serial::kListenerEventFailedText);
    return kListenerEventFailed;
  }

  kavrel::DWORD exitCode = kListenerEndedByItself;
  bool pending = false;  // a request is outstanding on pendingDevice
  kavrel::HANDLE pendingDevice = kNoHandle;
  {
    std::lock_guard<std::mutex> lock(port.stateMutex_);
    port.listenerWake_ = wake;
    SetCommMask(port.portHandle, EV_RXCHAR | EV_TXEMPTY);
  }

  for (;;) {
    kavrel::DWORD queued = 0;
    kavrel::DWORD settleDelay = 0;
    kavrel::DWORD pollInterval = 0;
    kavrel::LONG tag = 0;
    bool deviceUsable = false;
    {
      // Every use of the device happens under the lock, so the host can swap
      // or close portHandle under the same lock without racing this thread.
      std::lock_guard<std::mutex> lock(port.stateMutex_);
      ResetEvent(wake);
      if (port.listenerStopRequested_.load()) {
        exitCode = kListenerStopped;
        break;
      }
      const kavrel::HANDLE device = port.portHandle;
      if (device == INVALID_HANDLE_VALUE) break;

      // Take the outcome of a finished request; a failed one reports nothing.
      if (pending) {
        kavrel::DWORD unused = 0;
        if (GetOverlappedResult(pendingDevice, &request, &unused, FALSE)) {
          bytesReported = bytesReported || (requestMask & EV_RXCHAR) != 0;
          pending = false;
        } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
          pending = false;
        }
      }
      // Request the next device event; the listener does not wait for it
      // here.
      if (!pending) {
        if (WaitCommEvent(device, &requestMask, &request)) {
          bytesReported = bytesReported || (requestMask & EV_RXCHAR) != 0;
          deviceUsable = true;
        } else if (GetLastError() == ERROR_IO_PENDING) {
          pending = true;
          pendingDevice = device;
        }
      }
      deviceUsable = deviceUsable || pending;

      if (bytesReported) {
        kavrel::DWORD errors = 0;
        queued = ClearCommError(device, &errors, &port.commStatus) ? port.commStatus.cbInQue : 0;
        bytesReported = queued != 0;
      }
      settleDelay = Milliseconds(port.settleDelayMs);
      pollInterval = Milliseconds(port.pollIntervalMs);
      tag = port.notifyTag;
    }

    if (queued != 0) {
      if (WaitForSingleObject(wake, settleDelay) == WAIT_OBJECT_0 &&
          port.listenerStopRequested_.load()) {
        exitCode = kListenerStopped;
        break;
      }
      kavrel::host::PostToMainWindow(KAVREL_WM_DATA_READY, 0, static_cast<kavrel::LPARAM>(tag));
      WaitForSingleObject(wake, pollInterval);
    } else if (pending) {
      // Nothing to tell: sleep until the device reports an event or the
      // listener is woken, instead of spinning through empty cycles.
      const kavrel::HANDLE waitFor[2] = {wake, request.hEvent};
      WaitForMultipleObjects(2, waitFor, FALSE, INFINITE);
    } else {
      // No device to watch (a fresh or closed object, or a device that has
      // gone): wait for a new device or a stop.
      WaitForSingleObject(wake, deviceUsable ? pollInterval : INFINITE);
    }
  }

  // A request still outstanding would write into this stack frame: cancel it
  // and wait until the device has let go of it.
  {
    std::lock_guard<std::mutex> lock(port.stateMutex_);
    if (pending) {
      kavrel::DWORD unused = 0;
      CancelIoEx(pendingDevice, &request);
      GetOverlappedResult(pendingDevice, &request, &unused, TRUE);
    }
    port.listenerWake_ = kNoHandle;
  }
  CloseHandle(wake);
  CloseHandle(request.hEvent);
  return exitCode;
}
