// The serial ports of this machine, with the identity of USB adapters.
//
//   std::vector<kavrel::SerialPortInfo> ports;
//   if (!kavrel::ListSerialPorts(ports)) {
//     std::fprintf(stderr, "%s\n", kavrel::GetLastErrorReason().text.c_str());
//   }
//   for (const kavrel::SerialPortInfo& port : ports) {
//     if (port.isUsb && port.vendorId == 0x0403) serial->SetSerial(port.name.c_str(), ...);
//   }
//
// On Linux the ports come from udev (libudev), on Windows from SetupAPI.
#ifndef KAVREL_PORT_LIST_H
#define KAVREL_PORT_LIST_H

#include <cstdint>
#include <string>
#include <vector>

#include "kavrel/types.h"

namespace kavrel {

struct SerialPortInfo {
  // The name SetSerial takes for the port: "ttyUSB0", "ttyS1", "COM3".
  std::string name;
  // The device itself: "/dev/ttyUSB0"; "\\.\COM3" on Windows.
  std::string devicePath;
  // The driver that serves the port ("ftdi_sio", "cdc_acm", "serial"; the
  // driver service on Windows: "usbser", "Serial"). Empty when unknown.
  std::string driver;

  // The USB identity, for ports of a USB device; zero, -1 and empty for
  // other ports. Texts are the device's own strings where it reports them,
  // otherwise the names of the system's vendor/product database.
  bool isUsb = false;
  std::uint16_t vendorId = 0;   // 0x0403
  std::uint16_t productId = 0;  // 0x6001
  std::string serialNumber;     // "A50285BI"; empty when the device has none
  std::string manufacturer;     // "FTDI"
  std::string product;          // "FT232R USB UART"
  int interfaceNumber = -1;     // the USB interface the port belongs to
  std::string interfaceName;    // that interface's own string, when it has one

  // Links that keep naming this port when its number changes (Linux, udev):
  // /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 follows
  // the adapter, /dev/serial/by-path/... the socket it is plugged into.
  // Empty where udev made none (ports that are not USB, Windows).
  std::string byIdPath;
  std::string byPathPath;

  // The names the ports file gives this port (named ports); empty when the
  // file names it nowhere.
  std::vector<std::string> mappedNames;
};

// Replaces ports with every serial port of the machine, sorted by name
// (ttyS2 before ttyS10, COM2 before COM10). Listed are the ports a driver
// serves: UARTs, USB adapters, modems. Left out are virtual consoles,
// pseudo-terminals and the unused slots a UART driver registers with no
// UART behind them. A machine without serial ports gives true and an empty
// list. False, with ports empty and the reason for GetLastErrorReason()
// (kavrel/errors.h), when the system cannot be asked. Any thread may call
// it, at any time.
KAVREL_API bool ListSerialPorts(std::vector<SerialPortInfo>& ports);

}  // namespace kavrel

#endif  // KAVREL_PORT_LIST_H
