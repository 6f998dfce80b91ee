// Where a port name leads: the names given at run time (kavrel::NamePort),
// then the entries of the ports file named by KAVREL_PORTS, then those of
// /etc/kavrel/ports. The files are read at every lookup, so edits take
// effect at the next open.
//
// The user's file overrides the system's entry by entry: a name it lists
// is taken from it, every other name still from the system file. So a user
// adds or redirects a few names without copying the administrator's list.
#ifndef KAVREL_PLATFORM_LINUX_NAMED_PORTS_H
#define KAVREL_PLATFORM_LINUX_NAMED_PORTS_H

#include <string>
#include <vector>

#include "kavrel/named_ports.h"
#include "platform/linux/port_target.h"

namespace kavrel {
namespace platform {
namespace driver {

constexpr char kSystemPortsFile[] = "/etc/kavrel/ports";
constexpr char kUserPortsVariable[] = "KAVREL_PORTS";

struct PortsFiles {
  std::string user;    // empty: none
  std::string system;  // empty: none
};

// The user's file from KAVREL_PORTS (ignored in a set-user-id or
// set-group-id program, whose environment is its caller's), and the
// system's.
PortsFiles DefaultPortsFiles();

// true with target filled when name is a named port.
bool LookUpPortName(const std::string& name, const PortsFiles& files, PortTarget* target);
bool LookUpPortName(const std::string& name, PortTarget* target);

std::vector<NamedPort> ListNamedPorts(const PortsFiles& files);

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_NAMED_PORTS_H
