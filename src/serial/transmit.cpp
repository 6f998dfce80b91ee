// Sending a block: one write request, waited for, then the transmit side
// purged.
#include "host/error_reason.h"
#include "kavrel/SerialCtl.h"
#include "platform/platform.h"
#include "serial/port_control_access.h"
#include "serial/serial_internal.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such

int SerialCtl::WriteSerial(const unsigned char* data, unsigned long length) {
  try {
    ForgetIfInherited();
    // One block at a time: a second writing thread waits here, so blocks
    // never interleave and no write shares another's record.
    std::lock_guard<std::timed_mutex> writing(writeMutex_);
    RefreshStatus();

    // A block the device cannot take as one request, or bytes that are not
    // there, are not sent at all; the result says so.
    bool sent = false;
    kavrel::HANDLE device = kNoHandle;
    if (data == nullptr && length != 0) {
      kavrel::host::RecordFailure(ERROR_INVALID_PARAMETER, "no bytes to send: the buffer is null");
    } else if (length > 0xFFFFFFFFul) {
      kavrel::host::RecordFailure(ERROR_INVALID_PARAMETER, "a block over 4 GiB");
    } else {
      const auto count = static_cast<kavrel::DWORD>(length);
      BOOL started;
      {
        // Issued under the lock under which CloseSerial takes the device
        // away and ends the object's transfers: the write is either under
        // way by then, and ended, or finds no device.
        std::lock_guard<std::mutex> lock(stateMutex_);
        device = portHandle;
        started = WriteFile(device, data, count, nullptr, &writeOverlapped);
      }
      kavrel::DWORD written = 0;
      const bool finished =
          kavrel::serial::FinishTransfer(device, &writeOverlapped, started, &written);
      if (!finished) {
        kavrel::serial::RecordPlatformFailure();
      } else if (written != count) {
        kavrel::host::RecordFailure(ERROR_GEN_FAILURE, "the device took only part of the block");
      } else {
        sent = true;
      }
      // A write time-out the host chose says so instead.
      if (!sent) kavrel::serial::ControlAccess::ExplainUnsentWrite(finished, written, count);
    }

    // The transmit purge ends every block, whatever became of it. The driver
    // holds nothing of a finished write, so it discards no byte that was
    // sent; after a failed wait, or a write time-out the host chose, it
    // drops what is left of the block. The device stays open until this
    // call has returned (CloseSerial waits for it).
    if (device != kNoHandle) PurgeComm(device, PURGE_TXABORT | PURGE_TXCLEAR);
    return sent ? 1 : 0;
  } catch (...) {
    return 0;
  }
}
