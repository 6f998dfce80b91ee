// From a Win32 device path to a device node that may be opened as a port.
//
// "\\.\NAME" names /dev/NAME, so ttyUSB0, ttyS1 and pts/3 all work; COMn with
// no /dev/COMn names /dev/ttyS<n-1>. Everything here only looks: nothing is
// opened, because opening some devices (a watchdog, the console, ptmx) has
// effects of its own. What is not plainly a serial-capable tty under /dev is
// refused before any open.
#ifndef KAVREL_PLATFORM_LINUX_DEVICE_NAMES_H
#define KAVREL_PLATFORM_LINUX_DEVICE_NAMES_H

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/linux/port_target.h"
#include "platform/platform.h"

namespace kavrel {
namespace platform {
namespace driver {

enum class TtyKind {
  kNotAPort,  // anything a serial port must not be opened on
  kPtySlave,  // a Unix98 pseudo-terminal slave: a virtual wire
  kTty,       // a tty-class device: a UART, a USB adapter, a modem
};

struct DeviceNode {
  std::string path;  // canonical, under /dev/, free of symbolic links
  dev_t device = 0;  // the major and minor number the checks were made on
  TtyKind kind = TtyKind::kNotAPort;
  // Set instead of the rest for a named port on the network, which the
  // network transport opens.
  std::optional<NetworkEndpoint> network;
};

// NAME out of "\\.\NAME"; false when path lacks that prefix.
bool DeviceNameFromPath(const char* path, std::string* name);

// Whether NAME may be looked up under /dev at all: not empty, relative,
// without control bytes or backslashes, and without empty, "." or ".."
// components that could step out of /dev.
bool IsAcceptableDeviceName(const std::string& name);

// "ttyS<n-1>" for "COMn" (n >= 1, decimal, no leading zero, any letter
// case); empty for every other name.
std::string ComPortAlias(const std::string& name);

// What kind of tty the character device major:minor is, judged from its
// numbers and the kernel's class for it.
TtyKind ClassifyCharacterDevice(unsigned major, unsigned minor);

// Why the character device major:minor is not a port, for a user: "the
// system console", "a virtual console", "a terminal in use" (/dev/tty, the
// caller's own terminal) or "not a serial port".
const char* WhyNotAPort(unsigned major, unsigned minor);

// Whether the node info describes may be opened as a port, judged from its
// type and numbers: ERROR_SUCCESS with *kind set, or ERROR_FILE_NOT_FOUND
// with the reason in *why.
DWORD ClassifyNode(const struct stat& info, TtyKind* kind, std::string* why);

// Checks path and what it resolves to. A named port (named_ports.h) is
// checked as its target: a device path exactly as a name under /dev would
// be. ERROR_SUCCESS with node filled, or ERROR_INVALID_NAME (a name that is
// not allowed), ERROR_FILE_NOT_FOUND (no such device, or not a serial port)
// or ERROR_ACCESS_DENIED. A named port on the network fills node->network
// alone and returns ERROR_SUCCESS: nothing about it can be checked without
// connecting. Where a more precise reason than the code is known, it goes
// to *why (when given).
DWORD ResolveDevice(const char* path, DeviceNode* node, std::string* why = nullptr);

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_DEVICE_NAMES_H
