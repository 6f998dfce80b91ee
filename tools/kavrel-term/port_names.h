// Port names as kavrel-term accepts them, and a readable reason when the
// library could not open one.
//
// Kavrel opens a port by its name under /dev ("ttyUSB0", "ttyS0", "pts/3"),
// with "COMn" standing for ttyS<n-1> where no /dev/COMn exists. It refuses
// names longer than 9 characters, absolute names and names with "..".
// OpenSerial itself reports only success or failure, so kavrel-term looks at
// the device node to tell the user why.
#ifndef KAVREL_TERM_PORT_NAMES_H
#define KAVREL_TERM_PORT_NAMES_H

#include <string>

namespace kavrel_term {

// "/dev/ttyUSB0" -> "ttyUSB0": people type the path; the library wants the
// name. Anything else is returned unchanged.
std::string NormalisePortName(const std::string& argument);

// Why the library would refuse this name before trying to open it, or an
// empty string when the name is acceptable.
std::string PortNameProblem(const std::string& name);

// The device node the library opens for this name (devRoot is "/dev" except
// in tests).
std::string DevicePathFor(const std::string& name, const std::string& devRoot = "/dev");

// Why a name that passed PortNameProblem did not open: "no such port",
// "permission denied", "not a serial port" or "port busy".
std::string OpenFailureReason(const std::string& devicePath);

}  // namespace kavrel_term

#endif  // KAVREL_TERM_PORT_NAMES_H
