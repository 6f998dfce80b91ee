#include "platform/linux/udev_port_description.h"

#include <cstring>
#include <utility>

namespace kavrel {
namespace platform {
namespace driver {

namespace {

constexpr char kDeviceDirectory[] = "/dev/";
constexpr char kVirtualDevices[] = "/devices/virtual/";
constexpr char kByIdDirectory[] = "/dev/serial/by-id/";
constexpr char kByPathDirectory[] = "/dev/serial/by-path/";
// The serial core's port type for a slot where no UART was found.
constexpr char kUnknownPortType[] = "0";

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Up to maxDigits hex digits and nothing else; -1 otherwise.
long ParseHex(const std::string& text, std::size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return -1;
  long value = 0;
  for (char c : text) {
    const int digit = HexValue(c);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
  }
  return true;
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

// The USB properties of a tty exist under two names: ID_USB_* (newer udev,
// kept even where another rule overwrites ID_*) and the older ID_*.
std::string UsbProperty(const UdevTty& tty, const char* newerKey, const char* olderKey) {
  std::string value = tty.Property(newerKey);
  return value.empty() ? tty.Property(olderKey) : value;
}

struct DeviceStringSource {
  const char* newerEncodedKey;  // ID_USB_VENDOR_ENC
  const char* olderEncodedKey;  // ID_VENDOR_ENC
  const char* idKey;            // ID_VENDOR_ID: what udev puts in for a missing string
  const char* sysfsAttribute;   // manufacturer, of the USB device
  const char* databaseKey;      // ID_VENDOR_FROM_DATABASE
};

// The device's own string where it has one, else the name the system's
// hardware database gives its id.
std::string DeviceString(const UdevTty& tty, bool udevKnowsUsb, const DeviceStringSource& source) {
  if (udevKnowsUsb) {
    const std::string text =
        DecodeUdevText(UsbProperty(tty, source.newerEncodedKey, source.olderEncodedKey));
    // Without a string of its own the device is named by its hex id.
    if (!text.empty() && !SameIgnoringCase(text, tty.Property(source.idKey))) return text;
  }
  std::string text = tty.Attribute(SysfsLevel::kUsbDevice, source.sysfsAttribute);
  if (text.empty() && udevKnowsUsb) text = tty.Property(source.databaseKey);
  return text;
}

std::uint16_t UsbId(const UdevTty& tty, bool udevKnowsUsb, const char* newerKey,
                    const char* olderKey, const char* sysfsAttribute) {
  long id = udevKnowsUsb ? ParseHex(UsbProperty(tty, newerKey, olderKey), 4) : -1;
  if (id < 0) id = ParseHex(tty.Attribute(SysfsLevel::kUsbDevice, sysfsAttribute), 4);
  return id < 0 ? 0 : static_cast<std::uint16_t>(id);
}

void DescribeUsb(const UdevTty& tty, SerialPortInfo* port) {
  const bool udevKnowsUsb = tty.Property("ID_BUS") == "usb";
  const bool sysfsKnowsUsb = !tty.Attribute(SysfsLevel::kUsbDevice, "idVendor").empty();
  port->isUsb = udevKnowsUsb || sysfsKnowsUsb;
  if (!port->isUsb) return;

  port->vendorId = UsbId(tty, udevKnowsUsb, "ID_USB_VENDOR_ID", "ID_VENDOR_ID", "idVendor");
  port->productId = UsbId(tty, udevKnowsUsb, "ID_USB_MODEL_ID", "ID_MODEL_ID", "idProduct");
  port->manufacturer = DeviceString(tty, udevKnowsUsb,
                                    {"ID_USB_VENDOR_ENC", "ID_VENDOR_ENC", "ID_VENDOR_ID",
                                     "manufacturer", "ID_VENDOR_FROM_DATABASE"});
  port->product = DeviceString(
      tty, udevKnowsUsb,
      {"ID_USB_MODEL_ENC", "ID_MODEL_ENC", "ID_MODEL_ID", "product", "ID_MODEL_FROM_DATABASE"});
  if (udevKnowsUsb) port->serialNumber = UsbProperty(tty, "ID_USB_SERIAL_SHORT", "ID_SERIAL_SHORT");
  if (port->serialNumber.empty()) {
    port->serialNumber = tty.Attribute(SysfsLevel::kUsbDevice, "serial");
  }

  long interfaceNumber = udevKnowsUsb ? ParseHex(tty.Property("ID_USB_INTERFACE_NUM"), 2) : -1;
  if (interfaceNumber < 0) {
    interfaceNumber = ParseHex(tty.Attribute(SysfsLevel::kUsbInterface, "bInterfaceNumber"), 2);
  }
  port->interfaceNumber = static_cast<int>(interfaceNumber);
  port->interfaceName = tty.Attribute(SysfsLevel::kUsbInterface, "interface");
}

// udev lists a device's links space-separated in DEVLINKS. Newer udev adds
// a second by-path link that names the USB revision ("-usbv2-"); the plain
// one is the name every udev version makes.
void DescribeLinks(const std::string& devlinks, SerialPortInfo* port) {
  std::string revisionPath;
  std::size_t start = 0;
  while (start < devlinks.size()) {
    std::size_t end = devlinks.find(' ', start);
    if (end == std::string::npos) end = devlinks.size();
    const std::string link = devlinks.substr(start, end - start);
    start = end + 1;
    if (StartsWith(link, kByIdDirectory)) {
      if (port->byIdPath.empty()) port->byIdPath = link;
    } else if (StartsWith(link, kByPathDirectory)) {
      std::string& slot = link.find("-usbv", sizeof kByPathDirectory - 1) == std::string::npos
                              ? port->byPathPath
                              : revisionPath;
      if (slot.empty()) slot = link;
    }
  }
  if (port->byPathPath.empty()) port->byPathPath = revisionPath;
}

}  // namespace

std::string DecodeUdevText(const std::string& encoded) {
  std::string text;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '\\' && i + 3 < encoded.size() && encoded[i + 1] == 'x') {
      const int high = HexValue(encoded[i + 2]);
      const int low = HexValue(encoded[i + 3]);
      if (high >= 0 && low >= 0) {
        text += static_cast<char>(high * 16 + low);
        i += 3;
        continue;
      }
    }
    text += encoded[i];
  }
  return text;
}

bool DescribeSerialPort(const UdevTty& tty, SerialPortInfo* port) {
  const std::string devicePath = tty.Property("DEVPATH");
  if (devicePath.empty() || StartsWith(devicePath, kVirtualDevices)) return false;
  // DEVNAME is absolute from udev's database, relative in the kernel's own
  // record.
  std::string node = tty.Property("DEVNAME");
  if (StartsWith(node, kDeviceDirectory)) node.erase(0, sizeof kDeviceDirectory - 1);
  if (node.empty() || node.front() == '/') return false;
  if (Trimmed(tty.Attribute(SysfsLevel::kTty, "type")) == kUnknownPortType) return false;
  std::string driverName = tty.Driver();
  if (driverName.empty()) return false;

  *port = SerialPortInfo();
  port->name = node;
  port->devicePath = kDeviceDirectory + node;
  port->driver = std::move(driverName);
  DescribeUsb(tty, port);
  DescribeLinks(tty.Property("DEVLINKS"), port);
  return true;
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
