// Receiving: deliver exactly the bytes queued now, optionally copied to the
// capture stream; and emptying both directions.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/host_services.h"
#include "kavrel/SerialCtl.h"
#include "platform/platform.h"
#include "serial/serial_internal.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such
using kavrel::serial::AddressOfHostReference;
using kavrel::serial::FinishTransfer;

void SerialCtl::ReadSerial(unsigned char* data, int& count) {
  try {
    ForgetIfInherited();
    // One read at a time: a second reading thread waits here (the reads
    // share the record and the staging buffer).
    std::unique_lock<std::mutex> reading(readMutex_);
    // The staging buffer starts every call all zero. Only what an earlier
    // read wrote can be non-zero, so only that much is cleared: clearing the
    // whole 400 KB for every few bytes received would cost more than the
    // transfer itself.
    std::memset(stagingBuffer, 0, stagingUsed_);
    stagingUsed_ = 0;

    int* countOut = AddressOfHostReference(count);
    if (countOut != nullptr) *countOut = 0;
    if (data == nullptr || countOut == nullptr) {
      reading.unlock();  // the trace handler may call back into the object
      kavrel::host::Trace("ReadSerial Abnormal\n");
      return;
    }

    // count only ever claims bytes that are in data: it is set once the read
    // has delivered them, and stays 0 when the read fails.
    kavrel::HANDLE device = kNoHandle;
    const BOOL started = StartRead(stagingBuffer, &stagingUsed_, &device);
    if (stagingUsed_ == 0) return;
    kavrel::DWORD received = 0;
    if (!FinishTransfer(device, &readOverlapped, started, &received)) return;
    std::memcpy(data, stagingBuffer, received);
    *countOut = static_cast<int>(received);
    DeliverCapture(data, *countOut);
  } catch (...) {
    kavrel::host::Trace("ReadSerial Abnormal\n");
  }
}

void SerialCtl::ReadSerial2(unsigned char* data, int& count) {
  try {
    ForgetIfInherited();
    std::unique_lock<std::mutex> reading(readMutex_);
    int* countOut = AddressOfHostReference(count);
    if (countOut != nullptr) *countOut = 0;
    if (data == nullptr || countOut == nullptr) {
      reading.unlock();
      kavrel::host::Trace("ReadSerial2 Abnormal\n");
      return;
    }

    // The read lands straight in data. It is waited for, so no transfer can
    // land there after the call has returned, and the capture copy is taken
    // only of bytes that have arrived.
    kavrel::DWORD queued = 0;
    kavrel::HANDLE device = kNoHandle;
    const BOOL started = StartRead(data, &queued, &device);
    if (queued == 0) return;
    kavrel::DWORD received = 0;
    if (!FinishTransfer(device, &readOverlapped, started, &received)) return;
    *countOut = static_cast<int>(received);
    DeliverCapture(data, *countOut);
  } catch (...) {
    kavrel::host::Trace("ReadSerial2 Abnormal\n");
  }
}

BOOL SerialCtl::StartRead(unsigned char* buffer, kavrel::DWORD* queued, kavrel::HANDLE* device) {
  // The count, the device and the read are taken under the lock under which
  // CloseSerial takes the device away and ends the object's transfers: the
  // read is either under way by then, and ended, or finds no device.
  std::lock_guard<std::mutex> lock(stateMutex_);
  *device = portHandle;
  kavrel::DWORD errors = 0;
  ClearCommError(portHandle, &errors, &commStatus);
  *queued = std::min<kavrel::DWORD>(commStatus.cbInQue, kStagingSize);
  if (*queued == 0) return FALSE;
  return ReadFile(portHandle, buffer, *queued, nullptr, &readOverlapped);
}

void SerialCtl::ClearSerialBuf() {
  ForgetIfInherited();
  std::lock_guard<std::mutex> lock(stateMutex_);
  PurgeComm(portHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  commStatus.cbInQue = 0;
}

void SerialCtl::DeliverCapture(const unsigned char* data, int count) {
  if (captureStream == nullptr) return;
  std::fwrite(data, 1, static_cast<std::size_t>(count), captureStream);
  std::fwrite("\r\n\r\n", 1, 4, captureStream);
}
