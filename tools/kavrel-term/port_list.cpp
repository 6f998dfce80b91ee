#include "port_list.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kavrel/errors.h"
#include "kavrel/port_list.h"
#include "text_format.h"

namespace kavrel_term {

namespace {

std::string FourHexDigits(std::uint16_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id));
  return text;
}

std::vector<PortInfo> PortTableRows(const std::vector<kavrel::SerialPortInfo>& ports) {
  std::vector<PortInfo> rows;
  for (const kavrel::SerialPortInfo& port : ports) {
    PortInfo row;
    row.device = port.name;
    row.driver = port.driver;
    if (port.isUsb) {
      row.vendorId = FourHexDigits(port.vendorId);
      row.productId = FourHexDigits(port.productId);
      row.manufacturer = port.manufacturer;
      row.product = port.product;
      row.serialNumber = port.serialNumber;
    }
    rows.push_back(row);
  }
  return rows;
}

}  // namespace

int RunList() {
  std::vector<kavrel::SerialPortInfo> ports;
  if (!kavrel::ListSerialPorts(ports)) {
    std::fprintf(stderr, "kavrel-term: cannot list the serial ports: %s\n",
                 kavrel::GetLastErrorReason().text.c_str());
    return 1;
  }
  std::fputs(FormatPortTable(PortTableRows(ports)).c_str(), stdout);
  return 0;
}

}  // namespace kavrel_term
