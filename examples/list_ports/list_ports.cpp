// Lists the serial ports of this machine with the identity of USB adapters,
// one line each, by the name SetSerial takes.
//
//   kavrel-example-ports
#include <kavrel/errors.h>
#include <kavrel/port_list.h>

#include <cstdio>
#include <vector>

int main() {
  std::vector<kavrel::SerialPortInfo> ports;
  if (!kavrel::ListSerialPorts(ports)) {
    std::fprintf(stderr, "cannot list the serial ports: %s\n",
                 kavrel::GetLastErrorReason().text.c_str());
    return 1;
  }
  for (const kavrel::SerialPortInfo& port : ports) {
    std::printf("%-10s %s", port.name.c_str(), port.devicePath.c_str());
    if (port.isUsb) {
      std::printf("  USB %04x:%04x %s %s serial '%s'", port.vendorId, port.productId,
                  port.manufacturer.c_str(), port.product.c_str(), port.serialNumber.c_str());
    }
    if (!port.byIdPath.empty()) std::printf("  %s", port.byIdPath.c_str());
    std::printf("\n");
  }
  std::printf("%zu serial port%s\n", ports.size(), ports.size() == 1 ? "" : "s");
  return 0;
}
