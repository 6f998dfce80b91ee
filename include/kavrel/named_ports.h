// Named ports: short port names that stand for a device path or for a
// serial port on another machine.
//
// On Linux a name passed to SetSerial is first looked up among the named
// ports: the names a host gives here, then the ports file named by the
// KAVREL_PORTS environment variable, then /etc/kavrel/ports (the file
// format and its rules are in docs/named-ports.md). A name none of them has
// is a device name under /dev, as always. A named port's target is either a
// device path, which must pass every check a device name does when the port
// is opened (so a /dev/serial/by-id link keeps a USB adapter's name whatever
// ttyUSB number it gets), or an RFC 2217 endpoint "rfc2217://host:port".
//
// On Windows a network port gets a COM name from a COM-port redirector, and
// a device has its COM name already: these calls fail there with
// ERROR_NOT_SUPPORTED.
#ifndef KAVREL_NAMED_PORTS_H
#define KAVREL_NAMED_PORTS_H

#include <string>
#include <vector>

#include "kavrel/types.h"

namespace kavrel {

// Names target for this process: from now on a port opened by name opens
// target. name: 1 to 9 ASCII letters, digits, '_' or '-' (what SetSerial
// keeps). target: an absolute device path ("/dev/serial/by-id/usb-FTDI_...",
// any path that leads to a serial device) or "rfc2217://host:port". A name
// given here comes before the same name in a ports file; naming it again
// replaces its target. Only the syntax is checked now; the device checks
// are made at each open. Returns false, with the reason for
// GetLastErrorReason() (ERROR_INVALID_NAME, ERROR_INVALID_PARAMETER), for a
// null, invalid name or target; thread-safe.
KAVREL_API bool NamePort(const char* name, const char* target);

// Removes a name given by NamePort; the ports files are untouched, so a
// name they hold applies again. False (ERROR_NOT_FOUND) when name was not
// given by NamePort.
KAVREL_API bool RemovePortName(const char* name);

struct NamedPort {
  std::string name;
  std::string target;  // as written
  std::string source;  // "run time", or the path of the ports file
};

// Every named port with the target it opens, where it takes effect: the
// names given by NamePort, then those of the KAVREL_PORTS file, then those
// of /etc/kavrel/ports, each name once. Empty on Windows.
KAVREL_API std::vector<NamedPort> ListNamedPorts();

}  // namespace kavrel

#endif  // KAVREL_NAMED_PORTS_H
