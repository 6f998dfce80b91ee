// What a Windows device instance id tells about a USB device.
//
//   USB\VID_0403&PID_6001\A50285BI                  the device; its serial number
//   USB\VID_1A86&PID_7523\5&1A2B3C4D&0&2            the device; no serial (Windows made the id)
//   USB\VID_2E8A&PID_000A&MI_00\6&2C3B7F4D&0&0000   interface 0 of a composite device
#ifndef KAVREL_PLATFORM_WINDOWS_USB_INSTANCE_ID_H
#define KAVREL_PLATFORM_WINDOWS_USB_INSTANCE_ID_H

#include <cstdint>
#include <string>

namespace kavrel {
namespace platform {

struct UsbInstanceId {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  // MI_xx of a composite device's interface; -1 for the device itself.
  int interfaceNumber = -1;
  // The device's serial number, where Windows took it as the instance part;
  // empty for interfaces and for ids Windows made up (they hold '&').
  std::string serialNumber;
};

// True, with id filled, for an instance id of the USB bus ("USB\...") that
// carries VID_xxxx and PID_xxxx; false for everything else (other buses,
// malformed ids), and id then holds nothing of use.
bool ParseUsbInstanceId(const std::string& instanceId, UsbInstanceId* id);

}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_WINDOWS_USB_INSTANCE_ID_H
