// The port object itself: construction, copying, the settings block and the
// queries.
#include <cstring>

#include "host/error_reason.h"
#include "host/host_services.h"
#include "kavrel/SerialCtl.h"
#include "platform/platform.h"
#include "serial/serial_internal.h"

using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names read as such
using kavrel::serial::SaturateToLong;

SerialCtl::SerialCtl()
    : portHandle(kNoHandle),
      readOverlapped(),
      commStatus(),
      settleDelayMs(1),
      pollIntervalMs(1),
      notifyTag(0),
      portName(),
      baudRate(0),
      dataBits(0),
      stopBitsCode(0),
      parityCode(0),
      lineSettings(),
      writeOverlapped(),
      listenerThread(kNoHandle),
      stagingBuffer(),
      isOpen(false),
      captureName(),
      captureStream(nullptr),
      processGeneration_(ProcessGeneration()) {}

SerialCtl::~SerialCtl() { CloseSerial(); }

SerialCtl::SerialCtl(const SerialCtl& other) : SerialCtl() { CopyConfiguration(other); }

SerialCtl& SerialCtl::operator=(const SerialCtl& other) {
  if (this != &other) {
    CloseSerial();
    CopyConfiguration(other);
  }
  return *this;
}

void SerialCtl::CopyConfiguration(const SerialCtl& other) {
  settleDelayMs = other.settleDelayMs;
  pollIntervalMs = other.pollIntervalMs;
  notifyTag = other.notifyTag;
  std::memcpy(portName, other.portName, sizeof portName);
  baudRate = other.baudRate;
  dataBits = other.dataBits;
  stopBitsCode = other.stopBitsCode;
  parityCode = other.parityCode;
  lineSettings = other.lineSettings;
  std::memcpy(captureName, other.captureName, sizeof captureName);
  controls_ = other.controls_;
}

void SerialCtl::SetSerial(CString portNameText, long baudRateValue, int dataBitsValue, int stopBits,
                          CString parity, const char* captureNameText) {
  const char* name = portNameText;
  try {
    // A name that does not fit is refused, never cut: a cut name could open a
    // different device. The stored name is cleared so the next open fails.
    const std::size_t nameLength = std::strlen(name);
    if (nameLength >= sizeof portName) {
      portName[0] = '\0';
      kavrel::host::Trace("Kavrel CString Abnormal[%s]??\n", name);
      kavrel::host::RecordFailure(ERROR_INVALID_NAME, "port name longer than 9 characters");
      return;
    }
    std::memcpy(portName, name, nameLength + 1);

    baudRate = SaturateToLong(baudRateValue);
    dataBits = dataBitsValue;

    if (stopBits == 0 || stopBits == 1) {
      stopBitsCode = ONESTOPBIT;
    } else if (stopBits == 2) {
      stopBitsCode = TWOSTOPBITS;
    } else {
      stopBitsCode = ONE5STOPBITS;
    }

    if (parity == "NONE" || parity == "none") {
      parityCode = NOPARITY;
    } else if (parity == "EVEN" || parity == "even") {
      parityCode = EVENPARITY;
    } else if (parity == "ODD" || parity == "odd") {
      parityCode = ODDPARITY;
    } else {
      parityCode = NOPARITY;
    }

    if (captureNameText == nullptr) {
      kavrel::host::Trace("Kavrel CString Abnormal[%s]??\n", name);
      kavrel::host::RecordFailure(ERROR_INVALID_PARAMETER, "no capture name");
      return;
    }
    // The capture name is only stored; a long one is cut to the field.
    const std::size_t captureLength = strnlen(captureNameText, sizeof captureName - 1);
    std::memcpy(captureName, captureNameText, captureLength);
    captureName[captureLength] = '\0';
  } catch (...) {
    kavrel::host::Trace("Kavrel CString Abnormal[%s]??\n", name);
  }
}

bool SerialCtl::IsSerialOpen() {
  ForgetIfInherited();
  return isOpen;
}

int SerialCtl::isCanSend() {
  ForgetIfInherited();
  std::lock_guard<std::mutex> lock(stateMutex_);
  return commStatus.cbOutQue != 0 ? 1 : 0;
}

SerialCtl::CString SerialCtl::GetVersion() { return CString("3.1"); }

int SerialCtl::GetVer() { return 301; }
