// Port discovery on Linux: against this machine's udev (whatever ports it
// has), and against udev's records of real adapters and UARTs, replayed
// through the same description rules.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <iomanip>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "kavrel/errors.h"
#include "kavrel/port_list.h"
#include "platform/linux/device_names.h"
#include "platform/linux/udev_port_description.h"
#include "platform/platform.h"

namespace {

namespace x = kavrel::platform::driver;
using x::SysfsLevel;

TEST(UdevPorts, EveryPortListedHereIsACharacterDeviceItsNameOpens) {
  std::vector<kavrel::SerialPortInfo> ports;
  ASSERT_TRUE(kavrel::ListSerialPorts(ports)) << kavrel::GetLastErrorReason().text;
  for (const kavrel::SerialPortInfo& port : ports) {
    SCOPED_TRACE(port.name);
    EXPECT_EQ(port.devicePath, "/dev/" + port.name);
    struct stat info {};
    ASSERT_EQ(stat(port.devicePath.c_str(), &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
    // The name passes every check OpenSerial makes before it opens.
    x::DeviceNode node;
    EXPECT_EQ(x::ResolveDevice(("\\\\.\\" + port.name).c_str(), &node),
              kavrel::platform::ERROR_SUCCESS);
    EXPECT_EQ(node.kind, x::TtyKind::kTty);
    EXPECT_FALSE(port.driver.empty());
    for (const std::string& link : {port.byIdPath, port.byPathPath}) {
      if (link.empty()) continue;
      std::unique_ptr<char, decltype(&free)> target(realpath(link.c_str(), nullptr), &free);
      ASSERT_NE(target, nullptr) << link;
      EXPECT_EQ(target.get(), port.devicePath) << link;
    }
  }
}

// A tty as udev recorded it: its properties (udevadm info), the sysfs
// attributes of the tty and of the USB interface and device above it
// (udevadm info --attribute-walk), and the driver bound above it.
class RecordedTty : public x::UdevTty {
 public:
  using Attributes = std::map<std::pair<SysfsLevel, std::string>, std::string>;
  RecordedTty(std::map<std::string, std::string> properties, Attributes attributes,
              std::string driver)
      : properties_(std::move(properties)),
        attributes_(std::move(attributes)),
        driver_(std::move(driver)) {}

  std::string Property(const char* key) const override { return Find(properties_, key); }
  std::string Attribute(SysfsLevel level, const char* name) const override {
    return Find(attributes_, std::make_pair(level, std::string(name)));
  }
  std::string Driver() const override { return driver_; }

 private:
  template <typename Map, typename Key>
  static std::string Find(const Map& map, const Key& key) {
    const auto found = map.find(key);
    return found != map.end() ? found->second : std::string();
  }

  std::map<std::string, std::string> properties_;
  Attributes attributes_;
  std::string driver_;
};

// Every field, one line, so a mismatch shows which.
std::string Fields(const kavrel::SerialPortInfo& port) {
  std::ostringstream out;
  out << "name=" << port.name << " path=" << port.devicePath << " driver=" << port.driver
      << " usb=" << port.isUsb << std::hex << std::setfill('0') << " id=" << std::setw(4)
      << port.vendorId << ":" << std::setw(4) << port.productId << std::dec
      << " serial=" << port.serialNumber << " manufacturer=" << port.manufacturer
      << " product=" << port.product << " interface=" << port.interfaceNumber << "/"
      << port.interfaceName << " by-id=" << port.byIdPath << " by-path=" << port.byPathPath;
  return out.str();
}

struct RecordedCase {
  const char* what;
  RecordedTty tty;
  bool listed;
  kavrel::SerialPortInfo expected;
};

kavrel::SerialPortInfo Port(const char* name, const char* driver) {
  kavrel::SerialPortInfo port;
  port.name = name;
  port.devicePath = std::string("/dev/") + name;
  port.driver = driver;
  return port;
}

kavrel::SerialPortInfo UsbPort(const char* name, const char* driver, std::uint16_t vendor,
                               std::uint16_t product, const char* serial, const char* manufacturer,
                               const char* productName, int interfaceNumber,
                               const char* interfaceName, const char* byId, const char* byPath) {
  kavrel::SerialPortInfo port = Port(name, driver);
  port.isUsb = true;
  port.vendorId = vendor;
  port.productId = product;
  port.serialNumber = serial;
  port.manufacturer = manufacturer;
  port.product = productName;
  port.interfaceNumber = interfaceNumber;
  port.interfaceName = interfaceName;
  port.byIdPath = byId;
  port.byPathPath = byPath;
  return port;
}

std::vector<RecordedCase> RecordedCases() {
  std::vector<RecordedCase> cases;
  // An FTDI FT232R under a udev that writes both the ID_USB_* and ID_*
  // names and two by-path links; udev's properties alone describe it.
  cases.push_back(
      {"FT232R, udev properties only",
       RecordedTty(
           {{"DEVPATH", "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0"},
            {"DEVNAME", "/dev/ttyUSB0"},
            {"MAJOR", "188"},
            {"MINOR", "0"},
            {"SUBSYSTEM", "tty"},
            {"ID_BUS", "usb"},
            {"ID_VENDOR_ID", "0403"},
            {"ID_MODEL_ID", "6001"},
            {"ID_VENDOR", "FTDI"},
            {"ID_VENDOR_ENC", "FTDI"},
            {"ID_MODEL", "FT232R_USB_UART"},
            {"ID_MODEL_ENC", "FT232R\\x20USB\\x20UART"},
            {"ID_REVISION", "0600"},
            {"ID_SERIAL", "FTDI_FT232R_USB_UART_A50285BI"},
            {"ID_SERIAL_SHORT", "A50285BI"},
            {"ID_USB_VENDOR_ID", "0403"},
            {"ID_USB_MODEL_ID", "6001"},
            {"ID_USB_VENDOR_ENC", "FTDI"},
            {"ID_USB_MODEL_ENC", "FT232R\\x20USB\\x20UART"},
            {"ID_USB_SERIAL_SHORT", "A50285BI"},
            {"ID_USB_INTERFACES", ":ffffff:"},
            {"ID_USB_INTERFACE_NUM", "00"},
            {"ID_USB_DRIVER", "ftdi_sio"},
            {"ID_VENDOR_FROM_DATABASE", "Future Technology Devices International, Ltd"},
            {"ID_MODEL_FROM_DATABASE", "FT232 Serial (UART) IC"},
            {"ID_PATH", "pci-0000:00:14.0-usb-0:2:1.0"},
            {"ID_PATH_TAG", "pci-0000_00_14_0-usb-0_2_1_0"},
            {"DEVLINKS",
             "/dev/serial/by-path/pci-0000:00:14.0-usbv2-0:2:1.0-port0 "
             "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 "
             "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"}},
           {}, "ftdi_sio"),
       true,
       UsbPort("ttyUSB0", "ftdi_sio", 0x0403, 0x6001, "A50285BI", "FTDI", "FT232R USB UART", 0, "",
               "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
               "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0")});
  // A CP2102 under an older udev (ID_* names only); the interface's own
  // string is a sysfs attribute.
  cases.push_back(
      {"CP2102, older udev",
       RecordedTty(
           {{"DEVPATH", "/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/ttyUSB1/tty/ttyUSB1"},
            {"DEVNAME", "/dev/ttyUSB1"},
            {"ID_BUS", "usb"},
            {"ID_VENDOR_ID", "10c4"},
            {"ID_MODEL_ID", "ea60"},
            {"ID_VENDOR_ENC", "Silicon\\x20Labs"},
            {"ID_MODEL_ENC", "CP2102\\x20USB\\x20to\\x20UART\\x20Bridge\\x20Controller"},
            {"ID_SERIAL", "Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001"},
            {"ID_SERIAL_SHORT", "0001"},
            {"ID_USB_INTERFACE_NUM", "00"},
            {"ID_USB_DRIVER", "cp210x"},
            {"ID_VENDOR_FROM_DATABASE", "Silicon Labs"},
            {"ID_MODEL_FROM_DATABASE", "CP210x UART Bridge"},
            {"DEVLINKS",
             "/dev/serial/by-id/"
             "usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0 "
             "/dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0"}},
           {{{SysfsLevel::kUsbInterface, "interface"}, "CP2102 USB to UART Bridge Controller"},
            {{SysfsLevel::kUsbInterface, "bInterfaceNumber"}, "00"}},
           "cp210x"),
       true,
       UsbPort("ttyUSB1", "cp210x", 0x10c4, 0xea60, "0001", "Silicon Labs",
               "CP2102 USB to UART Bridge Controller", 0, "CP2102 USB to UART Bridge Controller",
               "/dev/serial/by-id/"
               "usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0",
               "/dev/serial/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0")});
  // A CDC-ACM board without a product string: udev names the model by its
  // id, so the hardware database's name stands in.
  cases.push_back(
      {"Arduino Uno, no product string",
       RecordedTty(
           {{"DEVPATH", "/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/tty/ttyACM0"},
            {"DEVNAME", "/dev/ttyACM0"},
            {"ID_BUS", "usb"},
            {"ID_VENDOR_ID", "2341"},
            {"ID_MODEL_ID", "0043"},
            {"ID_VENDOR", "Arduino__www.arduino.cc_"},
            {"ID_VENDOR_ENC", "Arduino\\x20\\x28www.arduino.cc\\x29"},
            {"ID_MODEL", "0043"},
            {"ID_MODEL_ENC", "0043"},
            {"ID_SERIAL_SHORT", "85735313932351E0E1C1"},
            {"ID_USB_INTERFACE_NUM", "00"},
            {"ID_USB_DRIVER", "cdc_acm"},
            {"ID_MODEL_FROM_DATABASE", "Uno R3 (CDC ACM)"},
            {"DEVLINKS",
             "/dev/serial/by-id/usb-Arduino__www.arduino.cc__0043_85735313932351E0E1C1-if00"}},
           {}, "cdc_acm"),
       true,
       UsbPort("ttyACM0", "cdc_acm", 0x2341, 0x0043, "85735313932351E0E1C1",
               "Arduino (www.arduino.cc)", "Uno R3 (CDC ACM)", 0, "",
               "/dev/serial/by-id/usb-Arduino__www.arduino.cc__0043_85735313932351E0E1C1-if00",
               "")});
  // The second port of an FT2232H where no udev daemon runs (a container):
  // the kernel's record has no ID_* and a relative DEVNAME; sysfs has the
  // rest.
  cases.push_back(
      {"FT2232H port B, no udev database",
       RecordedTty(
           {{"DEVPATH", "/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.1/ttyUSB3/tty/ttyUSB3"},
            {"DEVNAME", "ttyUSB3"},
            {"MAJOR", "188"},
            {"MINOR", "3"}},
           {{{SysfsLevel::kUsbDevice, "idVendor"}, "0403"},
            {{SysfsLevel::kUsbDevice, "idProduct"}, "6010"},
            {{SysfsLevel::kUsbDevice, "manufacturer"}, "FTDI"},
            {{SysfsLevel::kUsbDevice, "product"}, "Dual RS232-HS"},
            {{SysfsLevel::kUsbInterface, "bInterfaceNumber"}, "01"},
            {{SysfsLevel::kUsbInterface, "interface"}, "Dual RS232-HS"}},
           "ftdi_sio"),
       true,
       UsbPort("ttyUSB3", "ftdi_sio", 0x0403, 0x6010, "", "FTDI", "Dual RS232-HS", 1,
               "Dual RS232-HS", "", "")});
  // A motherboard UART (16550A, found through ACPI/PNP).
  cases.push_back({"motherboard UART",
                   RecordedTty({{"DEVPATH", "/devices/pnp0/00:05/00:05:0/00:05:0.0/tty/ttyS0"},
                                {"DEVNAME", "/dev/ttyS0"},
                                {"ID_PATH", "pnp-00:05"}},
                               {{{SysfsLevel::kTty, "type"}, "4"}}, "serial"),
                   true, Port("ttyS0", "serial")});
  // A PCI serial port: the PCI vendor database names are not a USB identity.
  cases.push_back(
      {"PCI UART",
       RecordedTty({{"DEVPATH", "/devices/pci0000:00/0000:00:16.3/tty/ttyS4"},
                    {"DEVNAME", "/dev/ttyS4"},
                    {"ID_PCI_CLASS_FROM_DATABASE", "Communication controller"},
                    {"ID_VENDOR_FROM_DATABASE", "Intel Corporation"},
                    {"ID_MODEL_FROM_DATABASE", "Serial Port for Intel(R) Active Management"},
                    {"ID_PATH", "pci-0000:00:16.3"}},
                   {{{SysfsLevel::kTty, "type"}, "4\n"}}, "serial"),
       true, Port("ttyS4", "serial")});
  // What is left out: an 8250 slot with no UART behind it, a virtual
  // console, a tty no driver serves, a node outside /dev.
  cases.push_back(
      {"placeholder ttyS1",
       RecordedTty(
           {{"DEVPATH", "/devices/platform/serial8250/serial8250:0/serial8250:0.1/tty/ttyS1"},
            {"DEVNAME", "/dev/ttyS1"}},
           {{{SysfsLevel::kTty, "type"}, "0"}}, "serial8250"),
       false,
       {}});
  cases.push_back(
      {"virtual console",
       RecordedTty({{"DEVPATH", "/devices/virtual/tty/tty1"}, {"DEVNAME", "/dev/tty1"}}, {}, ""),
       false,
       {}});
  cases.push_back(
      {"no driver",
       RecordedTty({{"DEVPATH", "/devices/platform/uart.0/tty/ttyX0"}, {"DEVNAME", "/dev/ttyX0"}},
                   {}, ""),
       false,
       {}});
  cases.push_back(
      {"node outside /dev",
       RecordedTty({{"DEVPATH", "/devices/platform/uart.0/tty/ttyX0"}, {"DEVNAME", "/tmp/ttyX0"}},
                   {}, "uart"),
       false,
       {}});
  return cases;
}

TEST(UdevPorts, RecordedDevicesAreDescribedOrLeftOut) {
  for (const RecordedCase& c : RecordedCases()) {
    SCOPED_TRACE(c.what);
    kavrel::SerialPortInfo port;
    port.name = "poison";
    port.mappedNames = {"poison"};
    const bool listed = x::DescribeSerialPort(c.tty, &port);
    ASSERT_EQ(listed, c.listed);
    if (listed) {
      EXPECT_EQ(Fields(port), Fields(c.expected));
      EXPECT_TRUE(port.mappedNames.empty());
    }
  }
}

TEST(UdevPorts, EncodedDeviceStringsAreDecodedAndMalformedEscapesKept) {
  const std::pair<const char*, const char*> cases[] = {
      {"FT232R\\x20USB\\x20UART", "FT232R USB UART"},
      {"a\\x5cx41", "a\\x41"},  // a decoded backslash starts nothing
      {"\\xc3\\xa9t\\xC3\\xA9", "\xc3\xa9t\xc3\xa9"},
      {"tail\\x2", "tail\\x2"},
      {"tail\\", "tail\\"},
      {"bad\\xg0", "bad\\xg0"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(x::DecodeUdevText(c.first), c.second) << c.first;
}

}  // namespace
