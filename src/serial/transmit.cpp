// Sending a block: one write request, waited for, then the transmit side
// purged.
#include "kavrel/SerialCtl.h"
#include "platform/platform.h"
#include "serial/serial_internal.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such

int SerialCtl::WriteSerial(const unsigned char* data, unsigned long length) {
  try {
    ForgetIfInherited();
    // One block at a time: a second writing thread waits here, so blocks
    // never interleave and no write shares another's record.
    std::lock_guard<std::mutex> writing(writeMutex_);
    RefreshStatus();

    // A block the device cannot take as one request, or bytes that are not
    // there, are not sent at all; the result says so.
    const bool sendable = (data != nullptr || length == 0) && length <= 0xFFFFFFFFul;
    const auto count = static_cast<kavrel::DWORD>(length);
    kavrel::HANDLE device;
    BOOL started = FALSE;
    {
      // Issued under the lock under which CloseSerial takes the device away
      // and ends the object's transfers: the write is either under way by
      // then, and ended, or finds no device.
      std::lock_guard<std::mutex> lock(stateMutex_);
      device = portHandle;
      if (sendable) started = WriteFile(device, data, count, nullptr, &writeOverlapped);
    }
    kavrel::DWORD written = 0;
    const bool sent = sendable &&
                      kavrel::serial::FinishTransfer(device, &writeOverlapped, started, &written) &&
                      written == count;

    // The transmit purge ends every block, whatever became of it. The driver
    // holds nothing of a finished write, so it discards no byte that was
    // sent; after a failed wait it drops what is left of the block. The
    // device stays open until this call has returned (CloseSerial waits).
    PurgeComm(device, PURGE_TXABORT | PURGE_TXCLEAR);
    return sent ? 1 : 0;
  } catch (...) {
    return 0;
  }
}
