// The names the ports files (and the host, at run time) give this machine's
// ports: a named port whose target leads to a listed port's device is one of
// that port's mapped names. A named port on the network is no port of this
// machine; ListNamedPorts lists it.
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/linux/named_ports.h"
#include "platform/port_discovery.h"

namespace kavrel {
namespace platform {

namespace {

// Where path leads, links followed; empty when it leads nowhere.
std::string Resolved(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  return resolved != nullptr ? std::string(resolved.get()) : std::string();
}

}  // namespace

void FillMappedNames(std::vector<SerialPortInfo>& ports) {
  using driver::PortTarget;
  std::vector<std::string> devices;
  for (const SerialPortInfo& port : ports) devices.push_back(Resolved(port.devicePath));
  for (const NamedPort& named : driver::ListNamedPorts(driver::DefaultPortsFiles())) {
    PortTarget target;
    std::string why;
    if (!driver::ParsePortTarget(named.target, &target, &why) ||
        target.kind != PortTarget::Kind::kDevice) {
      continue;
    }
    const std::string device = Resolved(target.device);
    if (device.empty()) continue;
    for (std::size_t i = 0; i < ports.size(); ++i) {
      if (devices[i] == device) ports[i].mappedNames.push_back(named.name);
    }
  }
}

}  // namespace platform
}  // namespace kavrel
