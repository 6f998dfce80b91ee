// Draining: waiting, bounded, until every byte written so far has left the
// driver's queue and the system's own driver.
//
// FlushFileBuffers does the waiting but takes no time-out, and flow control
// can hold a line up for ever, so it runs on a thread of its own while the
// caller waits for that thread as long as it was asked to. A drain the
// caller stopped waiting for goes on (its bytes are not discarded): the next
// Drain waits for it before it starts a new one for what was written since,
// and closing the device ends it, after which CloseSerial collects the
// thread. So the thread never outlives the device, and never runs twice.
#include <chrono>

#include "kavrel/port_control.h"
#include "platform/platform.h"
#include "serial/port_control_access.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such

namespace kavrel {
namespace serial {

namespace {

using Clock = std::chrono::steady_clock;

DWORD Remaining(Clock::time_point end, unsigned timeoutMs) {
  if (timeoutMs == kWaitForever) return INFINITE;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
  return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

}  // namespace

DWORD KAVREL_CALLBACK ControlAccess::DrainRoutine(void* object) {
  SerialCtl& port = *static_cast<SerialCtl*>(object);
  // Read by whoever collects the thread, once it has ended.
  port.drainError_ = FlushFileBuffers(port.drainDevice_) ? ERROR_SUCCESS : GetLastError();
  return 0;
}

bool ControlAccess::Drain(SerialCtl& port, unsigned timeoutMs) {
  const HANDLE device = OpenDevice(port);
  if (device == kNoHandle) return Fail(ERROR_INVALID_HANDLE);
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  // First a drain an earlier call stopped waiting for (it covers only what
  // was written before it began), then one for everything up to now.
  for (bool started = false;;) {
    if (port.drainThread_ == kNoHandle) {
      if (started) break;
      port.drainDevice_ = device;
      port.drainError_ = ERROR_SUCCESS;
      try {
        port.drainThread_ =
            CreateThread(nullptr, 0, &ControlAccess::DrainRoutine, &port, 0, nullptr);
      } catch (...) {
        // The emulated kernel's allocation failed: no thread was started.
      }
      if (port.drainThread_ == kNoHandle) return Fail(ERROR_NOT_ENOUGH_MEMORY);
      started = true;
    }
    if (WaitForSingleObject(port.drainThread_, Remaining(end, timeoutMs)) != WAIT_OBJECT_0) {
      return Fail(ERROR_TIMEOUT, "drain timed out: bytes are still being sent");
    }
    CloseHandle(port.drainThread_);
    port.drainThread_ = kNoHandle;
    if (port.drainError_ != ERROR_SUCCESS) return FailDoing("drain", port.drainError_);
  }
  return true;
}

}  // namespace serial
}  // namespace kavrel

void SerialCtl::EndDrain() {
  // Called once the device is closed, which has ended the drain.
  if (drainThread_ == kNoHandle) return;
  WaitForSingleObject(drainThread_, INFINITE);
  CloseHandle(drainThread_);
  drainThread_ = kNoHandle;
}
