// The Win32-named device calls: argument checks, handle look-up and the
// last error. The work itself is the device object's.
//
// Devices are opened for overlapped use only, which is how the library opens
// them: every read, write and event wait takes an OVERLAPPED record.
#include <memory>
#include <new>
#include <string>

#include "platform/linux/comm_device.h"
#include "platform/linux/device_names.h"
#include "platform/linux/events.h"
#include "platform/linux/last_error.h"
#include "platform/linux/line_settings.h"
#include "platform/linux/overlapped_status.h"
#include "platform/linux/rfc2217_transport.h"
#include "platform/linux/tty_transport.h"
#include "platform/platform.h"

namespace kavrel {
namespace platform {

namespace {

using driver::CommDevice;
using driver::EventObject;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL Outcome(DWORD error) { return error == ERROR_SUCCESS ? TRUE : Fail(error); }

std::shared_ptr<CommDevice> FindDevice(HANDLE device) {
  return driver::FindObject<CommDevice>(device, driver::ObjectKind::kDevice);
}

// The record's event, which the operation resets now and signals when it
// finishes. A record without an event is fine; one naming something that is
// not an event is not.
bool EventOf(const OVERLAPPED* overlapped, std::shared_ptr<EventObject>* event) {
  if (overlapped->hEvent == kNoHandle) return true;
  *event = driver::FindEvent(overlapped->hEvent);
  return *event != nullptr;
}

// What ReadFile and WriteFile report for an operation that has started.
BOOL TransferOutcome(DWORD error, const OVERLAPPED* overlapped, DWORD* transferred) {
  if (transferred != nullptr) {
    *transferred = error == ERROR_IO_PENDING ? 0 : static_cast<DWORD>(overlapped->InternalHigh);
  }
  return Outcome(error);
}

}  // namespace

HANDLE CreateFileA(const char* path, DWORD access, DWORD shareMode, void* /*security*/,
                   DWORD disposition, DWORD flags, HANDLE /*templateFile*/) {
  if ((access & (GENERIC_READ | GENERIC_WRITE)) == 0 || disposition != OPEN_EXISTING ||
      (flags & FILE_FLAG_OVERLAPPED) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // A serial port is never shared, as on Windows.
  if (shareMode != 0) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }

  driver::DeviceNode node;
  std::string why;  // the reason a refusal gives, where it knows one
  DWORD error = driver::ResolveDevice(path, &node, &why);
  std::unique_ptr<driver::Transport> transport;
  if (error == ERROR_SUCCESS) {
    error = node.network ? driver::Rfc2217Transport::Open(node, &transport, &why)
                         : driver::TtyTransport::Open(node, &transport, &why);
  }
  // From here the transport, and then the device, own the line and release
  // it on every path that does not end in a live handle.
  std::shared_ptr<CommDevice> device;
  if (error == ERROR_SUCCESS) error = CommDevice::Start(std::move(transport), access, &device);
  if (error != ERROR_SUCCESS) {
    driver::SetLastErrorWithDetail(error, why);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = kNoHandle;
  try {
    handle = driver::HandleTable::Process().Insert(device);
  } catch (const std::bad_alloc&) {
    // Reported as a full table below.
  }
  if (handle == kNoHandle) {
    device->OnHandleClosed();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

BOOL SetCommMask(HANDLE device, DWORD mask) {
  std::shared_ptr<CommDevice> object = FindDevice(device);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return Outcome(object->SetEventMask(mask));
}

BOOL PurgeComm(HANDLE device, DWORD flags) {
  std::shared_ptr<CommDevice> object = FindDevice(device);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return Outcome(object->Purge(flags));
}

BOOL SetupComm(HANDLE device, DWORD inQueue, DWORD outQueue) {
  std::shared_ptr<CommDevice> object = FindDevice(device);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return Outcome(object->SetQueueSizes(inQueue, outQueue));
}

BOOL GetCommState(HANDLE device, DCB* dcb) {
  std::shared_ptr<CommDevice> object = FindDevice(device);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Outcome(object->GetState(dcb));
}

BOOL SetCommState(HANDLE device, DCB* dcb) {
  std::shared_ptr<CommDevice> object = FindDevice(device);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD error = object->SetState(*dcb);
  if (error == ERROR_INVALID_PARAMETER) {
    driver::SetLastErrorWithDetail(error, driver::LineSettings::Refusal(*dcb));
    return FALSE;
  }
  if (error == ERROR_SEM_TIMEOUT) {
    driver::SetLastErrorWithDetail(error, "the far end did not answer the line settings in time");
    return FALSE;
  }
  return Outcome(error);
}

BOOL ClearCommError(HANDLE device, DWORD* errors, COMSTAT* status) {
  std::shared_ptr<CommDevice> object = FindDevice(device);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return Outcome(object->GetStatus(errors, status));
}

BOOL ReadFile(HANDLE device, void* buffer, DWORD count, DWORD* transferred,
              OVERLAPPED* overlapped) {
  std::shared_ptr<CommDevice> object = FindDevice(device);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (!object->readable()) return Fail(ERROR_ACCESS_DENIED);
  std::shared_ptr<EventObject> event;
  if (overlapped == nullptr || (buffer == nullptr && count != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!EventOf(overlapped, &event)) return Fail(ERROR_INVALID_HANDLE);
  const DWORD error = object->Read(buffer, count, overlapped, std::move(event));
  return TransferOutcome(error, overlapped, transferred);
}

BOOL WriteFile(HANDLE device, const void* buffer, DWORD count, DWORD* transferred,
               OVERLAPPED* overlapped) {
  std::shared_ptr<CommDevice> object = FindDevice(device);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (!object->writable()) return Fail(ERROR_ACCESS_DENIED);
  std::shared_ptr<EventObject> event;
  if (overlapped == nullptr || (buffer == nullptr && count != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!EventOf(overlapped, &event)) return Fail(ERROR_INVALID_HANDLE);
  const DWORD error = object->Write(buffer, count, overlapped, std::move(event));
  return TransferOutcome(error, overlapped, transferred);
}

BOOL WaitCommEvent(HANDLE device, DWORD* eventMask, OVERLAPPED* overlapped) {
  std::shared_ptr<CommDevice> object = FindDevice(device);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  std::shared_ptr<EventObject> event;
  if (eventMask == nullptr || overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!EventOf(overlapped, &event)) return Fail(ERROR_INVALID_HANDLE);
  return Outcome(object->WaitEvent(eventMask, overlapped, std::move(event)));
}

BOOL GetOverlappedResult(HANDLE /*device*/, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
  // Only the record (and, for waiting, its event) is consulted: its outcome
  // stays readable after the device's handle has been closed, which ends the
  // operation. A waiter sleeps on the record's event, or on the announcement
  // of completions without an event when the record has none.
  if (overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (driver::LoadStatus(overlapped) == driver::kStatusPending) {
    if (wait == FALSE) return Fail(ERROR_IO_INCOMPLETE);
    driver::WaitForCompletion(overlapped);
  }
  const auto status = static_cast<DWORD>(driver::LoadStatus(overlapped));
  // Even a failed transfer reports what it moved before it failed.
  if (transferred != nullptr) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  return Outcome(status);
}

BOOL CancelIoEx(HANDLE device, OVERLAPPED* overlapped) {
  std::shared_ptr<CommDevice> object = FindDevice(device);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return Outcome(object->Cancel(overlapped));
}

BOOL EscapeCommFunction(HANDLE device, DWORD function) {
  std::shared_ptr<CommDevice> object = FindDevice(device);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return Outcome(object->Escape(function));
}

BOOL SetCommBreak(HANDLE device) { return EscapeCommFunction(device, SETBREAK); }

BOOL ClearCommBreak(HANDLE device) { return EscapeCommFunction(device, CLRBREAK); }

BOOL GetCommModemStatus(HANDLE device, DWORD* status) {
  std::shared_ptr<CommDevice> object = FindDevice(device);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (status == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Outcome(object->GetModemStatus(status));
}

BOOL FlushFileBuffers(HANDLE device) {
  std::shared_ptr<CommDevice> object = FindDevice(device);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return Outcome(object->Flush());
}

BOOL SetCommTimeouts(HANDLE device, COMMTIMEOUTS* timeouts) {
  std::shared_ptr<CommDevice> object = FindDevice(device);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Outcome(object->SetTimeouts(*timeouts));
}

BOOL GetCommTimeouts(HANDLE device, COMMTIMEOUTS* timeouts) {
  std::shared_ptr<CommDevice> object = FindDevice(device);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Outcome(object->GetTimeouts(timeouts));
}

BOOL RestoreCommState(HANDLE device, DCB* /*stateAtOpen*/) {
  // The device kept everything the kernel held for the line before the
  // open, which is more than a DCB carries.
  std::shared_ptr<CommDevice> object = FindDevice(device);
  if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return Outcome(object->RestoreLineAtOpen());
}

}  // namespace platform
}  // namespace kavrel
