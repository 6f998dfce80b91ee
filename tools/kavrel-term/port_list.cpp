#include "port_list.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kavrel/errors.h"
#include "kavrel/named_ports.h"
#include "kavrel/port_list.h"
#include "text_format.h"

namespace kavrel_term {

namespace {

std::string FourHexDigits(std::uint16_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id));
  return text;
}

bool IsNetworkTarget(const std::string& target) {
  static const std::string kScheme = "rfc2217://";
  if (target.size() < kScheme.size()) return false;
  for (std::size_t i = 0; i < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(target[i])) != kScheme[i]) return false;
  }
  return true;
}

std::vector<PortInfo> PortTableRows(const std::vector<kavrel::SerialPortInfo>& ports,
                                    const std::vector<kavrel::NamedPort>& named) {
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
    for (const std::string& name : port.mappedNames) {
      row.names += (row.names.empty() ? "" : ", ") + name;
    }
    rows.push_back(row);
  }
  // Named ports that no port here answers to: ports on the network, and
  // devices the discovery leaves out (a socat pty) or that are not plugged in.
  for (const kavrel::NamedPort& port : named) {
    const bool listed = std::any_of(ports.begin(), ports.end(), [&port](const auto& local) {
      return std::find(local.mappedNames.begin(), local.mappedNames.end(), port.name) !=
             local.mappedNames.end();
    });
    if (listed) continue;
    PortInfo row;
    row.device = port.name;
    if (IsNetworkTarget(port.target)) row.driver = "rfc2217";
    row.names = "-> " + port.target;
    rows.push_back(row);
  }
  return rows;
}

}  // namespace

int RunList() {
  std::vector<kavrel::SerialPortInfo> ports;
  if (!kavrel::ListSerialPorts(ports)) {
    const kavrel::ErrorReason reason = kavrel::GetLastErrorReason();
    std::fprintf(stderr, "kavrel-term: cannot list the serial ports: %s (error %u)\n",
                 reason.text.c_str(), static_cast<unsigned>(reason.code));
    return 1;
  }
  std::fputs(FormatPortTable(PortTableRows(ports, kavrel::ListNamedPorts())).c_str(), stdout);
  return 0;
}

}  // namespace kavrel_term
