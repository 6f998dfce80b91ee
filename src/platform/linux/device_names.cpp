#include "platform/linux/device_names.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/linux/named_ports.h"
#include "platform/linux/refusal_reasons.h"
#include "platform/linux/system_errors.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

constexpr char kDevicePrefix[] = "\\\\.\\";
constexpr char kDeviceDirectory[] = "/dev/";

// Unix98 pty slaves take majors 136 to 143; they have no entry in
// /sys/dev/char, so they are known by number.
constexpr unsigned kFirstPtySlaveMajor = 136;
constexpr unsigned kLastPtySlaveMajor = 143;
// /dev/tty, /dev/console and /dev/ptmx: opening them acts on the caller's
// terminal, the system console or allocates a new pty.
constexpr unsigned kTtyAuxMajor = 5;
constexpr unsigned kCallersTerminalMinor = 0;
constexpr unsigned kConsoleMinor = 1;
// Major 4 holds the virtual consoles below minor 64 and the 8250 UARTs
// (ttyS) from 64 on; a console is a screen, not a port.
constexpr unsigned kConsoleAndUartMajor = 4;
constexpr unsigned kFirstUartMinor = 64;

void Explain(std::string* why, const std::string& reason) {
  if (why != nullptr) *why = reason;
}

std::string Canonical(const std::string& path, int* error) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  if (resolved == nullptr) {
    *error = errno;
    return std::string();
  }
  *error = 0;
  return std::string(resolved.get());
}

}  // namespace

bool DeviceNameFromPath(const char* path, std::string* name) {
  const std::size_t prefixLength = sizeof kDevicePrefix - 1;
  if (path == nullptr || std::strncmp(path, kDevicePrefix, prefixLength) != 0) return false;
  *name = path + prefixLength;
  return true;
}

bool IsAcceptableDeviceName(const std::string& name) {
  if (name.empty() || name.size() >= PATH_MAX || name.front() == '/') return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '\\') return false;
  }
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = name.find('/', start);
    const std::string component =
        name.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (component.empty() || component == "." || component == "..") return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

std::string ComPortAlias(const std::string& name) {
  if (name.size() < 4) return std::string();
  for (int i = 0; i < 3; ++i) {
    if ((name[i] | 0x20) != "com"[i]) return std::string();
  }
  const std::string digits = name.substr(3);
  if (digits[0] == '0' || digits.size() > 9) return std::string();
  unsigned long number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::string();
    number = number * 10 + static_cast<unsigned long>(c - '0');
  }
  return "ttyS" + std::to_string(number - 1);
}

TtyKind ClassifyCharacterDevice(unsigned major, unsigned minor) {
  if (major >= kFirstPtySlaveMajor && major <= kLastPtySlaveMajor) return TtyKind::kPtySlave;
  if (major == kTtyAuxMajor) return TtyKind::kNotAPort;
  if (major == kConsoleAndUartMajor && minor < kFirstUartMinor) return TtyKind::kNotAPort;
  // Everything else must belong to the kernel's tty class; a watchdog, a
  // memory device or a sound card belongs to another.
  int error = 0;
  const std::string subsystem = Canonical(
      "/sys/dev/char/" + std::to_string(major) + ":" + std::to_string(minor) + "/subsystem",
      &error);
  return subsystem == "/sys/class/tty" ? TtyKind::kTty : TtyKind::kNotAPort;
}

const char* WhyNotAPort(unsigned major, unsigned minor) {
  if (major == kTtyAuxMajor && minor == kConsoleMinor) return kSystemConsole;
  if (major == kTtyAuxMajor && minor == kCallersTerminalMinor) return kTerminalInUse;
  if (major == kConsoleAndUartMajor && minor < kFirstUartMinor) return "a virtual console";
  return kNotASerialPort;
}

DWORD ClassifyNode(const struct stat& info, TtyKind* kind, std::string* why) {
  if (!S_ISCHR(info.st_mode)) {
    Explain(why, kNotASerialPort);
    return ERROR_FILE_NOT_FOUND;
  }
  const unsigned majorNumber = major(info.st_rdev);
  const unsigned minorNumber = minor(info.st_rdev);
  *kind = ClassifyCharacterDevice(majorNumber, minorNumber);
  if (*kind != TtyKind::kNotAPort) return ERROR_SUCCESS;
  Explain(why, WhyNotAPort(majorNumber, minorNumber));
  return ERROR_FILE_NOT_FOUND;
}

DWORD ResolveDevice(const char* path, DeviceNode* node, std::string* why) {
  std::string name;
  if (!DeviceNameFromPath(path, &name)) return ERROR_INVALID_NAME;
  PortTarget target;
  const bool named = LookUpPortName(name, &target);
  if (named && target.kind == PortTarget::Kind::kRfc2217) {
    node->network = target.endpoint;
    return ERROR_SUCCESS;
  }
  if (!named && !IsAcceptableDeviceName(name)) {
    if (name.empty()) Explain(why, "no port name");
    return ERROR_INVALID_NAME;
  }

  // A named device path was held to the same rules as a name when it was
  // read, and is checked from here on exactly as one.
  std::string candidate = named ? target.device : kDeviceDirectory + name;
  struct stat info {};
  if (!named && lstat(candidate.c_str(), &info) != 0 && errno == ENOENT) {
    const std::string alias = ComPortAlias(name);
    if (!alias.empty()) candidate = kDeviceDirectory + alias;
  }

  // Symbolic links are followed once, here, and the result must still lie
  // under /dev; the open then pins that very node without following any
  // link, and checks it again through its descriptor (see pinned_node.h).
  int error = 0;
  const std::string canonical = Canonical(candidate, &error);
  if (error != 0) return ErrorWhileOpening(error);
  if (canonical.compare(0, sizeof kDeviceDirectory - 1, kDeviceDirectory) != 0) {
    Explain(why, "the name leads outside /dev");
    return ERROR_INVALID_NAME;
  }
  if (stat(canonical.c_str(), &info) != 0) return ErrorWhileOpening(errno);
  TtyKind kind = TtyKind::kNotAPort;
  const DWORD refusal = ClassifyNode(info, &kind, why);
  if (refusal != ERROR_SUCCESS) return refusal;

  node->path = canonical;
  node->device = info.st_rdev;
  node->kind = kind;
  return ERROR_SUCCESS;
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
