// Named ports on Windows: a device already has its COM name there, and a
// serial port on the network gets one from a COM-port redirector, which
// every program then opens like a local port. The calls exist so a host
// builds unchanged, and say why they do nothing.
#include "kavrel/named_ports.h"

#include "host/error_reason.h"
#include "platform/port_discovery.h"

namespace kavrel {

namespace {

bool NotSupported() {
  host::RecordFailure(ERROR_NOT_SUPPORTED,
                      "named ports are not supported on Windows: a COM-port redirector gives a "
                      "network port a COM name there");
  return false;
}

}  // namespace

bool NamePort(const char* /*name*/, const char* /*target*/) { return NotSupported(); }

bool RemovePortName(const char* /*name*/) { return NotSupported(); }

std::vector<NamedPort> ListNamedPorts() { return {}; }

namespace platform {

// No port has a mapped name here: the names a redirector gives are COM names
// of their own, listed as ports.
void FillMappedNames(std::vector<SerialPortInfo>& ports) { static_cast<void>(ports); }

}  // namespace platform

}  // namespace kavrel
