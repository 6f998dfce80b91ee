// Port discovery on Windows: the present devices SetupAPI lists in the
// Ports setup class and under the COM-port device interface, each named by
// the PortName of its registry key; then the ports serial drivers announce
// in HARDWARE\DEVICEMAP\SERIALCOMM that neither list holds (drivers that
// register no device of either kind).
#include <windows.h>
// windows.h first: the SetupAPI headers build on its types.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cwctype>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "host/error_reason.h"
#include "kavrel/port_list.h"
#include "platform/fault_injection.h"
#include "platform/port_discovery.h"
#include "platform/windows/usb_instance_id.h"

namespace kavrel {
namespace platform {

namespace {

// The Ports (COM & LPT) device setup class.
const GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// The COM-port device interface, which modems and some USB drivers expose.
const GUID kComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
// DEVPKEY_Device_BusReportedDeviceDesc: the product string a device
// reported on its bus (a USB device's own iProduct).
const DEVPROPKEY kBusReportedDescription = {
    {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};
// A port's USB device lies a few levels up at most (port, interface or
// vendor bus, device); the walk stops well after that.
constexpr int kMaxAncestors = 8;

// Owners of what SetupAPI and the registry hand out, so every way out
// (out of memory included) gives it back.
class DeviceList {
 public:
  explicit DeviceList(HDEVINFO devices) : devices_(devices) {}
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
  ~DeviceList() {
    if (devices_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(devices_);
  }
  HDEVINFO get() const { return devices_; }

 private:
  HDEVINFO devices_;
};

class RegistryKey {
 public:
  explicit RegistryKey(HKEY key) : key_(key) {}
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  ~RegistryKey() {
    if (key_ != nullptr && key_ != INVALID_HANDLE_VALUE) RegCloseKey(key_);
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_;
};

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length,
                      nullptr, nullptr);
  return out;
}

// A REG_SZ-like buffer of bytes to text, without trusting it to end in NUL.
std::wstring WideText(const std::vector<BYTE>& bytes, DWORD size) {
  std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), size / sizeof(wchar_t));
  const std::size_t end = text.find(L'\0');
  if (end != std::wstring::npos) text.resize(end);
  return text;
}

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

bool IsComName(const std::wstring& name) {
  if (name.size() < 4 || Upper(name.substr(0, 3)) != L"COM") return false;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (name[i] < L'0' || name[i] > L'9') return false;
  }
  return true;
}

std::wstring RegistryText(HKEY key, const wchar_t* valueName) {
  std::vector<BYTE> buffer(512);
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(buffer.size());
  if (RegQueryValueExW(key, valueName, nullptr, &type, buffer.data(), &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return std::wstring();
  }
  return WideText(buffer, size);
}

std::wstring PortNameOf(HDEVINFO devices, SP_DEVINFO_DATA* device) {
  const RegistryKey key(
      SetupDiOpenDevRegKey(devices, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE));
  if (key.get() == INVALID_HANDLE_VALUE) return std::wstring();
  return RegistryText(key.get(), L"PortName");
}

std::string RegistryPropertyOf(HDEVINFO devices, SP_DEVINFO_DATA* device, DWORD property) {
  std::vector<BYTE> buffer(1024);
  DWORD type = 0;
  DWORD size = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(devices, device, property, &type, buffer.data(),
                                         static_cast<DWORD>(buffer.size()), &size) ||
      type != REG_SZ) {
    return std::string();
  }
  return Utf8(WideText(buffer, size));
}

std::string BusReportedDescriptionOf(HDEVINFO devices, SP_DEVINFO_DATA* device) {
  std::vector<BYTE> buffer(1024);
  DEVPROPTYPE type = 0;
  DWORD size = 0;
  if (!SetupDiGetDevicePropertyW(devices, device, &kBusReportedDescription, &type, buffer.data(),
                                 static_cast<DWORD>(buffer.size()), &size, 0) ||
      type != DEVPROP_TYPE_STRING) {
    return std::string();
  }
  return Utf8(WideText(buffer, size));
}

std::wstring InstanceIdOf(DEVINST node) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
  if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return std::wstring();
  return id;
}

// The product string of the USB device with the given instance id, read
// through a device list of its own.
std::string UsbProductOf(const std::wstring& instanceId) {
  const DeviceList devices(SetupDiCreateDeviceInfoList(nullptr, nullptr));
  if (devices.get() == INVALID_HANDLE_VALUE) return std::string();
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  if (!SetupDiOpenDeviceInfoW(devices.get(), instanceId.c_str(), nullptr, 0, &device)) {
    return std::string();
  }
  return BusReportedDescriptionOf(devices.get(), &device);
}

// Walks up from the port's device node to the USB device it belongs to, if
// any: through a composite device's interface (MI_xx) or a vendor's own bus
// driver (FTDIBUS\...).
void DescribeUsb(DEVINST node, SerialPortInfo* port) {
  for (int level = 0; level < kMaxAncestors; ++level) {
    const std::wstring instanceId = InstanceIdOf(node);
    UsbInstanceId usb;
    if (ParseUsbInstanceId(Utf8(instanceId), &usb)) {
      port->isUsb = true;
      port->vendorId = usb.vendorId;
      port->productId = usb.productId;
      if (usb.interfaceNumber >= 0 && port->interfaceNumber < 0) {
        port->interfaceNumber = usb.interfaceNumber;
      }
      if (usb.interfaceNumber < 0) {  // the device itself: nothing above it is its own
        port->serialNumber = usb.serialNumber;
        port->product = UsbProductOf(instanceId);
        return;
      }
    }
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return;
    node = parent;
  }
}

struct Found {
  std::vector<SerialPortInfo> ports;
  std::set<std::wstring> names;  // upper case: COM names are not case-sensitive
};

bool Fail(DWORD code, const char* what) {
  if (code == ERROR_SUCCESS) code = ERROR_GEN_FAILURE;  // a failure that set no code
  host::RecordFailure(code, std::string(what) + ": " + host::DescribeError(code));
  return false;
}

bool AddDevicesOf(const GUID& kind, DWORD flags, Found* found) {
  // The test build's switch stands for a system out of memory.
  const bool fault = TakePortDiscoveryFault();
  const DeviceList devices(fault ? INVALID_HANDLE_VALUE
                                 : SetupDiGetClassDevsW(&kind, nullptr, nullptr, flags));
  if (devices.get() == INVALID_HANDLE_VALUE) {
    return Fail(fault ? ERROR_NOT_ENOUGH_MEMORY : GetLastError(),
                "cannot list the serial ports through SetupAPI");
  }
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    if (!SetupDiEnumDeviceInfo(devices.get(), index, &device)) {
      const DWORD error = GetLastError();
      if (error == ERROR_NO_MORE_ITEMS) return true;
      return Fail(error, "cannot list the serial ports through SetupAPI");
    }
    // The Ports class also holds printer ports (LPT1).
    const std::wstring name = PortNameOf(devices.get(), &device);
    if (!IsComName(name) || !found->names.insert(Upper(name)).second) continue;
    SerialPortInfo port;
    port.name = Utf8(name);
    port.devicePath = "\\\\.\\" + port.name;
    port.driver = RegistryPropertyOf(devices.get(), &device, SPDRP_SERVICE);
    DescribeUsb(device.DevInst, &port);
    if (port.isUsb && port.product.empty()) {
      port.product = BusReportedDescriptionOf(devices.get(), &device);
    }
    found->ports.push_back(port);
  }
}

bool AddAnnouncedPorts(Found* found) {
  HKEY opened = nullptr;
  const LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                    KEY_QUERY_VALUE, &opened);
  // No serial driver has announced a port since the system started.
  if (result == ERROR_FILE_NOT_FOUND) return true;
  if (result != ERROR_SUCCESS) {
    return Fail(static_cast<DWORD>(result), "cannot read the serial ports from the registry");
  }
  const RegistryKey key(opened);
  for (DWORD index = 0;; ++index) {
    wchar_t valueName[256];
    DWORD nameLength = sizeof valueName / sizeof valueName[0];
    std::vector<BYTE> data(256);
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(data.size());
    const LONG read =
        RegEnumValueW(key.get(), index, valueName, &nameLength, nullptr, &type, data.data(), &size);
    if (read == ERROR_NO_MORE_ITEMS) return true;
    if (read == ERROR_MORE_DATA) continue;  // not a port name: those are short
    if (read != ERROR_SUCCESS) {
      return Fail(static_cast<DWORD>(read), "cannot read the serial ports from the registry");
    }
    if (type != REG_SZ) continue;
    const std::wstring name = WideText(data, size);
    if (!IsComName(name) || !found->names.insert(Upper(name)).second) continue;
    SerialPortInfo port;
    port.name = Utf8(name);
    port.devicePath = "\\\\.\\" + port.name;
    found->ports.push_back(port);
  }
}

}  // namespace

}  // namespace platform

bool ListSerialPorts(std::vector<SerialPortInfo>& ports) {
  ports.clear();
  try {
    platform::Found found;
    if (!platform::AddDevicesOf(platform::kPortsClass, DIGCF_PRESENT, &found) ||
        !platform::AddDevicesOf(platform::kComPortInterface, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE,
                                &found) ||
        !platform::AddAnnouncedPorts(&found)) {
      return false;
    }
    platform::FinishPortList(found.ports);
    ports.swap(found.ports);
    return true;
  } catch (const std::bad_alloc&) {
    host::RecordFailure(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}

}  // namespace kavrel
