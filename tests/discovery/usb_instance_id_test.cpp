// The USB identity in Windows device instance ids, as SetupAPI reports them
// for USB serial adapters and the nodes between them and their ports.
#include "platform/windows/usb_instance_id.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using kavrel::platform::ParseUsbInstanceId;
using kavrel::platform::UsbInstanceId;

TEST(UsbInstanceId, TheUsbBusIdsGiveIdsInterfaceAndSerial) {
  struct Case {
    const char* id;
    bool usb;
    unsigned vendor;
    unsigned product;
    int interfaceNumber;
    const char* serial;
  };
  const Case cases[] = {
      // The device; Windows took its serial number as the instance part.
      {"USB\\VID_0403&PID_6001\\A50285BI", true, 0x0403, 0x6001, -1, "A50285BI"},
      {"usb\\Vid_10c4&Pid_EA60\\0001", true, 0x10c4, 0xea60, -1, "0001"},
      // No serial number: Windows made the instance part up.
      {"USB\\VID_1A86&PID_7523\\5&1A2B3C4D&0&2", true, 0x1a86, 0x7523, -1, ""},
      // Interface 2 of a composite device; its parent is the device.
      {"USB\\VID_2E8A&PID_000A&MI_02\\6&2C3B7F4D&0&0002", true, 0x2e8a, 0x000a, 2, ""},
      {"USB\\VID_0403&PID_6001&REV_0600\\A50285BI", true, 0x0403, 0x6001, -1, "A50285BI"},
      // Not the USB bus: an FTDI bus node, a motherboard UART, a modem.
      {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", false, 0, 0, 0, ""},
      {"ACPI\\PNP0501\\1", false, 0, 0, 0, ""},
      // Malformed: missing or short ids, extra levels, nothing at all.
      {"USB\\VID_0403\\A50285BI", false, 0, 0, 0, ""},
      {"USB\\VID_403&PID_6001\\A50285BI", false, 0, 0, 0, ""},
      {"USB\\VID_04G3&PID_6001\\A50285BI", false, 0, 0, 0, ""},
      {"USB\\VID_0403&PID_6001", false, 0, 0, 0, ""},
      {"USB\\VID_0403&PID_6001\\A\\B", false, 0, 0, 0, ""},
      {"", false, 0, 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    UsbInstanceId id;
    ASSERT_EQ(ParseUsbInstanceId(c.id, &id), c.usb);
    if (!c.usb) continue;
    EXPECT_EQ(id.vendorId, c.vendor);
    EXPECT_EQ(id.productId, c.product);
    EXPECT_EQ(id.interfaceNumber, c.interfaceNumber);
    EXPECT_EQ(id.serialNumber, c.serial);
  }
}

}  // namespace
