// Opening the device with the stored settings, and releasing everything the
// object holds.
#include <chrono>
#include <cstdio>

#include "host/host_services.h"
#include "kavrel/SerialCtl.h"
#include "platform/platform.h"
#include "serial/port_control_access.h"
#include "serial/serial_internal.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such
using kavrel::serial::ControlAccess;
using kavrel::serial::kDriverQueueSize;

void SerialCtl::OpenSerial() {
  try {
    ForgetIfInherited();
    // An open object is released first and then opened afresh, so a second
    // open neither loses handles nor keeps the old settings. Its capture
    // stream is closed as CloseSerial would close it, since the open below
    // lets go of it. A running listener stays and follows the new device.
    // A read or write in progress on another thread is ended and waited for
    // first, as CloseSerial does, and none starts while the records are
    // renewed; one that starts later finds no device until the new one is
    // configured. The locks are not held beyond that: the message box below
    // runs a host handler, which may call back into the object.
    {
      const kavrel::HANDLE previous = DetachDevice();
      const auto writing = AwaitTransfer(writeMutex_, previous, &writeOverlapped);
      const auto reading = AwaitTransfer(readMutex_, previous, &readOverlapped);
      if (isOpen && captureStream != nullptr) {
        std::fclose(captureStream);
        captureStream = nullptr;
      }
      ReleaseDevice(previous);
      ReleaseEvents();
      isOpen = false;

      writeOverlapped = kavrel::OVERLAPPED();
      writeOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      readOverlapped = kavrel::OVERLAPPED();
      readOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }

    char path[512] = {};
    std::snprintf(path, sizeof path, "\\\\.\\%s", portName);
    const kavrel::HANDLE device =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, kNoHandle);
    if (device == INVALID_HANDLE_VALUE) {
      kavrel::serial::RecordPlatformFailure();
      SetPortHandle(device);
      isOpen = false;
      return;
    }
    // portHandle (which a running listener watches) receives the device only
    // once it is configured: before its event mask is set, the listener's
    // event request would fail and leave it waiting for a device it already
    // has. Until then the device is released directly when the open stops.

    SetCommMask(device, kavrel::serial::kPortEvents);
    PurgeComm(device, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    SetupComm(device, kDriverQueueSize, kDriverQueueSize);

    // Without the device's own settings there is nothing sound to change four
    // members of: stop here rather than apply content no step has set.
    if (!GetCommState(device, &lineSettings)) {
      kavrel::serial::RecordPlatformFailure();
      CloseHandle(device);
      isOpen = false;
      return;
    }
    lineAtOpen_ = lineSettings;

    lineSettings.StopBits = static_cast<kavrel::BYTE>(stopBitsCode);
    // A negative rate, or a data-bit count that does not fit the byte, is
    // passed on as 0, which the device refuses, instead of being reinterpreted
    // as a value the device might accept.
    lineSettings.BaudRate = baudRate > 0 ? static_cast<kavrel::DWORD>(baudRate) : 0;
    lineSettings.ByteSize =
        (dataBits >= 0 && dataBits <= 0xFF) ? static_cast<kavrel::BYTE>(dataBits) : 0;
    lineSettings.Parity = parityCode;
    // The flow control and DTR and RTS levels the host chose, if any.
    ControlAccess::ApplyLineChoices(*this, &lineSettings);

    if (!SetCommState(device, &lineSettings)) {
      kavrel::serial::RecordPlatformFailure("settings refused");
      ControlAccess::ExplainRefusedSettings(*this);
      kavrel::host::ShowMessageBox(kavrel::serial::kSettingsRefusedText);
      CloseOpenedDevice(device);
      isOpen = false;
      return;
    }
    if (!ControlAccess::ApplyDeviceChoices(*this, device)) {
      CloseOpenedDevice(device);
      isOpen = false;
      return;
    }

    {
      // A stream set before the open is let go of (not closed), and before
      // a reader can see the new device.
      std::lock_guard<std::timed_mutex> reading(readMutex_);
      captureStream = nullptr;
    }
    SetPortHandle(device);
    RefreshStatus();
    isOpen = true;
  } catch (...) {
    kavrel::host::Trace("OpenSerial Abnormal\n");
  }
}

void SerialCtl::CloseSerial() {
  try {
    ForgetIfInherited();
    // A read or write in progress on another thread is ended (a write the
    // device does not take would otherwise wait for ever) and waited for,
    // so nothing it still uses is released under it. The listener ends
    // before that wait: a Window::Post that reads or writes would otherwise
    // wait for this close while the close waits for it.
    const kavrel::HANDLE device = DetachDevice();
    StopListenSerial();
    const auto writing = AwaitTransfer(writeMutex_, device, &writeOverlapped);
    const auto reading = AwaitTransfer(readMutex_, device, &readOverlapped);
    ReleaseEvents();
    ReleaseDevice(device);
    isOpen = false;
    if (captureStream != nullptr) {
      std::fclose(captureStream);
      captureStream = nullptr;
    }
  } catch (...) {
    kavrel::host::Trace("CloseSerial Abnormal\n");
  }
}

void SerialCtl::ReleaseEvents() {
  if (writeOverlapped.hEvent != kNoHandle) {
    CloseHandle(writeOverlapped.hEvent);
    writeOverlapped.hEvent = kNoHandle;
  }
  if (readOverlapped.hEvent != kNoHandle) {
    CloseHandle(readOverlapped.hEvent);
    readOverlapped.hEvent = kNoHandle;
  }
}

kavrel::HANDLE SerialCtl::DetachDevice() {
  // Under the lock under which reads and writes are issued: one issued
  // before is ended here, one issued after finds no device. The listener is
  // woken and lets go of the device too.
  std::lock_guard<std::mutex> lock(stateMutex_);
  const kavrel::HANDLE device = portHandle;
  portHandle = kNoHandle;
  if (device != kNoHandle && device != INVALID_HANDLE_VALUE) {
    CancelIoEx(device, &writeOverlapped);
    CancelIoEx(device, &readOverlapped);
  }
  if (listenerWake_ != kNoHandle) SetEvent(listenerWake_);
  return device;
}

std::unique_lock<std::timed_mutex> SerialCtl::AwaitTransfer(std::timed_mutex& lock,
                                                            kavrel::HANDLE device,
                                                            kavrel::OVERLAPPED* record) {
  // DetachDevice has cancelled the transfer. A cancel that arrives while
  // the system is moving part of it can be missed (Wine's serial driver
  // misses one now and then, and the write then waits for ever), so it is
  // repeated while the transfer goes on. The device stays open meanwhile.
  // The slices are timed on the system clock, whose timed lock is the one
  // the thread sanitizer follows (pthread_mutex_timedlock); a step of that
  // clock only lengthens or shortens one slice.
  std::unique_lock<std::timed_mutex> held(lock, std::defer_lock);
  while (!held.try_lock_until(std::chrono::system_clock::now() + std::chrono::milliseconds(20))) {
    if (device != kNoHandle && device != INVALID_HANDLE_VALUE) CancelIoEx(device, record);
  }
  return held;
}

void SerialCtl::ReleaseDevice(kavrel::HANDLE device) {
  // The invalid value a failed open leaves refers to no device, so there is
  // nothing to close for it.
  if (device != kNoHandle && device != INVALID_HANDLE_VALUE) CloseOpenedDevice(device);
  EndDrain();
}

void SerialCtl::CloseOpenedDevice(kavrel::HANDLE device) {
  bool restore;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    restore = controls_.restoreOnClose;
  }
  if (restore) RestoreCommState(device, &lineAtOpen_);
  CloseHandle(device);
  // Closing the device has ended a drain still going on it.
  EndDrain();
}

void SerialCtl::SetPortHandle(kavrel::HANDLE handle) {
  // The listener uses the device only while it holds this lock, so once the
  // handle is swapped here it no longer touches the old device; waking it
  // lets an idle listener pick up the new one.
  std::lock_guard<std::mutex> lock(stateMutex_);
  portHandle = handle;
  if (listenerWake_ != kNoHandle) SetEvent(listenerWake_);
}

kavrel::DWORD SerialCtl::RefreshStatus() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  kavrel::DWORD errors = 0;
  ClearCommError(portHandle, &errors, &commStatus);
  return commStatus.cbInQue;
}
