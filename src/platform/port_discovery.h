// What port discovery does the same on both backends: each backend finds
// the ports its own way (udev, SetupAPI), then hands them through here
// before the host sees them.
#ifndef KAVREL_PLATFORM_PORT_DISCOVERY_H
#define KAVREL_PLATFORM_PORT_DISCOVERY_H

#include <string>
#include <vector>

#include "kavrel/port_list.h"

namespace kavrel {
namespace platform {

// Name order for people: a trailing number compares as a number, so ttyS2
// comes before ttyS10 and COM2 before COM10.
bool PortNameLess(const std::string& a, const std::string& b);

// Gives each port the names the ports file maps to it (named ports); a port
// the file does not name keeps mappedNames empty. Named ports provide this.
void FillMappedNames(std::vector<SerialPortInfo>& ports);

// Sorts the ports by name and fills in their mapped names.
void FinishPortList(std::vector<SerialPortInfo>& ports);

}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_PORT_DISCOVERY_H
