// From what udev knows of one tty device to the port a host sees, or to
// "not a serial port".
//
// Discovery reads a tty only through UdevTty, so the live system (libudev)
// and recorded property tables in the tests take the same path. udev's
// properties (ID_VENDOR_ID, ID_MODEL_ENC, DEVLINKS, ...) come from its
// database, which exists only where the udev daemon runs; the sysfs
// attributes the daemon derives them from are always there, so each field
// falls back to them.
#ifndef KAVREL_PLATFORM_LINUX_UDEV_PORT_DESCRIPTION_H
#define KAVREL_PLATFORM_LINUX_UDEV_PORT_DESCRIPTION_H

#include <string>

#include "kavrel/port_list.h"

namespace kavrel {
namespace platform {
namespace driver {

// Where a sysfs attribute is read: on the tty itself, or on the USB
// interface or USB device above it.
enum class SysfsLevel { kTty, kUsbInterface, kUsbDevice };

class UdevTty {
 public:
  virtual ~UdevTty() = default;
  // A property of the tty as udev reports it ("DEVPATH", "DEVNAME",
  // "ID_VENDOR_ID"); empty when udev has none.
  virtual std::string Property(const char* key) const = 0;
  // A sysfs attribute ("type" of the tty, "idVendor" of the USB device,
  // "interface" of the USB interface); empty when absent or not USB.
  virtual std::string Attribute(SysfsLevel level, const char* name) const = 0;
  // The driver serving the tty: the first one bound above it, past the
  // serial core's own generic devices; empty when none is.
  virtual std::string Driver() const = 0;
};

// Fills port and returns true when tty is a serial port: it has a device
// node, it is not virtual (consoles, ptmx, pseudo-terminals have no device
// behind them), a driver serves it, and it is not an empty UART slot. The
// last is the serial core's port type: an 8250-family driver registers a
// fixed number of ttyS ports whether or not a UART answers, and reports
// type 0 (unknown) for those with none. Ports of other drivers (USB, ACM)
// have no type and are kept. On false, port holds nothing of use.
bool DescribeSerialPort(const UdevTty& tty, SerialPortInfo* port);

// Undoes udev's encoding of device strings: "FT232R\x20USB\x20UART" ->
// "FT232R USB UART". A malformed escape stays as it is.
std::string DecodeUdevText(const std::string& encoded);

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_UDEV_PORT_DESCRIPTION_H
