// Starting and stopping the receive listener, the thread that posts the
// data-ready notification while received bytes wait (listener_loop.cpp).
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

void SerialCtl::ListenSerial(long settleDelay, long pollInterval) {
  try {
    ForgetIfInherited();
    // Never two listeners: a running one is ended before the new one starts.
    StopListenSerial();
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      settleDelayMs = kavrel::serial::SaturateToLong(settleDelay);
      pollIntervalMs = kavrel::serial::SaturateToLong(pollInterval);
    }
    listenerStopRequested_.store(false);
    listenerThread = CreateThread(nullptr, 0, &SerialCtl::SerialListenProc, this, 0, nullptr);
  } catch (...) {
    // Creating the thread allocates, and running out of memory there (the
    // emulated kernel's std::bad_alloc) means no thread was started:
    // listenerThread is still empty and the failure is reported below as
    // any refused thread is.
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (listenerThread == kNoHandle) {
    kavrel::serial::RecordPlatformFailure("the listener could not be started");
    kavrel::host::ShowMessageBox(kavrel::serial::kListenerThreadFailedText);
  }
}

void SerialCtl::StopListenSerial() {
  ForgetIfInherited();
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
