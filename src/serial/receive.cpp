// Receiving: deliver exactly the bytes queued now, optionally copied to the
// capture stream; and emptying both directions.
//
// A host that chose a read wait (kavrel/port_control.h) has a read that
// finds nothing queued wait for the first bytes instead: it asks for one
// byte, which the driver's total time-out ends with none when the wait is
// over, and then takes what is queued by then. (The driver's own "return on
// any bytes" time-outs would do it in one read, but Wine's driver does not
// honour them.)
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/error_reason.h"
#include "host/host_services.h"
#include "kavrel/SerialCtl.h"
#include "platform/platform.h"
#include "serial/port_control_access.h"
#include "serial/serial_internal.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such
using kavrel::serial::AddressOfHostReference;
using kavrel::serial::ControlAccess;
using kavrel::serial::FinishTransfer;

namespace {

void RecordMissingBuffer() {
  kavrel::host::RecordFailure(ERROR_INVALID_PARAMETER, "no buffer or count to read into");
}

// An object without a device has nothing to read: that is a failure, while
// an open port with nothing queued is not.
void RecordIfNotOpen(kavrel::HANDLE port) {
  if (port == kNoHandle || port == INVALID_HANDLE_VALUE) {
    kavrel::host::RecordFailure(ERROR_INVALID_HANDLE);
  }
}

}  // namespace

void SerialCtl::ReadSerial(unsigned char* data, int& count) {
  try {
    ForgetIfInherited();
    // One read at a time: a second reading thread waits here (the reads
    // share the record and the staging buffer).
    std::unique_lock<std::timed_mutex> reading(readMutex_);
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
      RecordMissingBuffer();
      return;
    }

    // count only ever claims bytes that are in data: it is set once the read
    // has delivered them, and stays 0 when the read fails.
    kavrel::DWORD received = 0;
    if (!ReceiveQueued(stagingBuffer, &received, &stagingUsed_) || received == 0) return;
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
    std::unique_lock<std::timed_mutex> reading(readMutex_);
    int* countOut = AddressOfHostReference(count);
    if (countOut != nullptr) *countOut = 0;
    if (data == nullptr || countOut == nullptr) {
      reading.unlock();
      kavrel::host::Trace("ReadSerial2 Abnormal\n");
      RecordMissingBuffer();
      return;
    }

    // The read lands straight in data. It is waited for, so no transfer can
    // land there after the call has returned, and the capture copy is taken
    // only of bytes that have arrived.
    kavrel::DWORD received = 0;
    kavrel::DWORD reach = 0;
    if (!ReceiveQueued(data, &received, &reach) || received == 0) return;
    *countOut = static_cast<int>(received);
    DeliverCapture(data, *countOut);
  } catch (...) {
    kavrel::host::Trace("ReadSerial2 Abnormal\n");
  }
}

bool SerialCtl::ReceiveQueued(unsigned char* into, kavrel::DWORD* received, kavrel::DWORD* reach) {
  *received = 0;
  kavrel::HANDLE device = kNoHandle;
  kavrel::DWORD asked = 0;
  BOOL started = StartRead(into, kStagingSize, 0, &asked, &device);
  kavrel::DWORD offset = 0;
  if (asked == 0) {
    if (!ControlAccess::ReadWaitsForBytes(*this)) {
      RecordIfNotOpen(device);
      return true;
    }
    *reach = std::max<kavrel::DWORD>(*reach, 1);
    started = StartRead(into, 1, 1, &asked, &device);
    if (!FinishTransfer(device, &readOverlapped, started, received)) {
      kavrel::serial::RecordPlatformFailure();
      return false;
    }
    if (*received == 0) return true;
    // The first byte is delivered whatever becomes of the rest.
    offset = 1;
    started = StartRead(into + offset, kStagingSize - offset, 0, &asked, &device);
    if (asked == 0) return true;
  }
  *reach = std::max(*reach, offset + asked);
  kavrel::DWORD taken = 0;
  const bool read = FinishTransfer(device, &readOverlapped, started, &taken);
  if (read) *received = offset + taken;
  if (!read) kavrel::serial::RecordPlatformFailure();
  return read || offset != 0;
}

BOOL SerialCtl::StartRead(unsigned char* into, kavrel::DWORD most, kavrel::DWORD least,
                          kavrel::DWORD* asked, kavrel::HANDLE* device) {
  // The count, the device and the read are taken under the lock under which
  // CloseSerial takes the device away and ends the object's transfers: the
  // read is either under way by then, and ended, or finds no device.
  std::lock_guard<std::mutex> lock(stateMutex_);
  *device = portHandle;
  kavrel::DWORD errors = 0;
  ClearCommError(portHandle, &errors, &commStatus);
  *asked = std::max(std::min<kavrel::DWORD>(commStatus.cbInQue, most), least);
  if (*asked == 0) return FALSE;
  return ReadFile(portHandle, into, *asked, nullptr, &readOverlapped);
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
