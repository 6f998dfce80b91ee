// Receiving: deliver exactly the bytes queued now, optionally copied to the
// capture stream; and emptying both directions.
//
// A host that chose a read wait (kavrel/port_control.h) has a read that
// finds nothing queued wait for the first bytes instead: it asks for a whole
// staging area, and the driver's time-outs end it as soon as any bytes are
// there, or with none when the wait is over.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/host_services.h"
#include "kavrel/SerialCtl.h"
#include "platform/platform.h"
#include "serial/port_control_access.h"
#include "serial/serial_internal.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such
using kavrel::serial::AddressOfHostReference;
using kavrel::serial::ControlAccess;
using kavrel::serial::FinishTransfer;

void SerialCtl::ReadSerial(unsigned char* data, int& count) {
  try {
    // The staging buffer starts every call all zero. Only what an earlier
    // read wrote can be non-zero, so only that much is cleared: clearing the
    // whole 400 KB for every few bytes received would cost more than the
    // transfer itself.
    std::memset(stagingBuffer, 0, stagingUsed_);
    stagingUsed_ = 0;

    int* countOut = AddressOfHostReference(count);
    if (countOut != nullptr) *countOut = 0;
    if (data == nullptr || countOut == nullptr) {
      kavrel::host::Trace("ReadSerial Abnormal\n");
      return;
    }

    kavrel::DWORD wanted = std::min<kavrel::DWORD>(RefreshStatus(), kStagingSize);
    if (wanted == 0) {
      if (!ControlAccess::ReadWaitsForBytes(*this)) return;
      wanted = kStagingSize;
    }

    // count only ever claims bytes that are in data: it is set once the read
    // has delivered them, and stays 0 when the read fails.
    stagingUsed_ = wanted;
    const BOOL started = ReadFile(portHandle, stagingBuffer, wanted, nullptr, &readOverlapped);
    kavrel::DWORD received = 0;
    if (!FinishTransfer(portHandle, &readOverlapped, started, &received)) return;
    // A waiting read may have asked for more than it got.
    stagingUsed_ = received;
    std::memcpy(data, stagingBuffer, received);
    *countOut = static_cast<int>(received);
    DeliverCapture(data, *countOut);
  } catch (...) {
    kavrel::host::Trace("ReadSerial Abnormal\n");
  }
}

void SerialCtl::ReadSerial2(unsigned char* data, int& count) {
  try {
    int* countOut = AddressOfHostReference(count);
    if (countOut != nullptr) *countOut = 0;
    if (data == nullptr || countOut == nullptr) {
      kavrel::host::Trace("ReadSerial2 Abnormal\n");
      return;
    }

    kavrel::DWORD wanted = std::min<kavrel::DWORD>(RefreshStatus(), kStagingSize);
    if (wanted == 0) {
      if (!ControlAccess::ReadWaitsForBytes(*this)) return;
      wanted = kStagingSize;
    }

    // The read lands straight in data. It is waited for, so no transfer can
    // land there after the call has returned, and the capture copy is taken
    // only of bytes that have arrived.
    const BOOL started = ReadFile(portHandle, data, wanted, nullptr, &readOverlapped);
    kavrel::DWORD received = 0;
    if (!FinishTransfer(portHandle, &readOverlapped, started, &received)) return;
    *countOut = static_cast<int>(received);
    DeliverCapture(data, *countOut);
  } catch (...) {
    kavrel::host::Trace("ReadSerial2 Abnormal\n");
  }
}

void SerialCtl::ClearSerialBuf() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  PurgeComm(portHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  commStatus.cbInQue = 0;
}

void SerialCtl::DeliverCapture(const unsigned char* data, int count) {
  if (captureStream == nullptr) return;
  std::fwrite(data, 1, static_cast<std::size_t>(count), captureStream);
  std::fwrite("\r\n\r\n", 1, 4, captureStream);
}
