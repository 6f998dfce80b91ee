// Fuzz target: device-name resolution, any bytes. What may be opened as a
// port is decided before any open, by ResolveDevice; whatever it is given, it
// may only ever answer with a canonical path under /dev naming a tty-class
// character device or a pty slave, never the caller's terminal, the console,
// ptmx or a virtual console. Names that could step out of /dev or hide bytes
// are refused as names, and COMn maps to ttyS<n-1> exactly when the name has
// that form. Nothing here opens a device: resolution only looks, and so does
// this target, so it may run beside anyone's ports.
//
// Input: a byte whose low bit chooses whether the rest is the whole path
// (set) or the name after the "\\.\" device prefix (clear).
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdint>
#include <memory>
#include <string>

#include "fuzz_input.h"
#include "platform/linux/device_names.h"
#include "platform/platform.h"

namespace {

namespace p = kavrel::platform;
namespace x = kavrel::platform::driver;

std::string RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  return resolved != nullptr ? std::string(resolved.get()) : std::string();
}

// Whether name could leave /dev or carries bytes no device name has.
bool CouldMisleadTheLookup(const std::string& name) {
  if (name.empty() || name[0] == '/') return true;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = name.find('/', start);
    const std::string component = name.substr(start, end - start);
    if (component.empty() || component == "." || component == "..") return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  for (const unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '\\') return true;
  }
  return false;
}

// n for "COMn" (any letter case, n from 1 without a leading zero, at most
// nine digits), or 0.
unsigned long ComNumber(const std::string& name) {
  if (name.size() < 4 || name.size() > 12) return 0;
  for (int i = 0; i < 3; ++i) {
    if ((name[i] | 0x20) != "com"[i]) return 0;
  }
  if (name[3] == '0') return 0;
  unsigned long number = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    number = number * 10 + static_cast<unsigned long>(name[i] - '0');
  }
  return number;
}

void CheckResolvedNode(const x::DeviceNode& node) {
  KAVREL_FUZZ_CHECK(node.path.compare(0, 5, "/dev/") == 0);
  // Canonical: no link, no "." or ".." left to lead anywhere else.
  KAVREL_FUZZ_CHECK(RealPath(node.path) == node.path);
  struct stat info {};
  KAVREL_FUZZ_CHECK(lstat(node.path.c_str(), &info) == 0);
  KAVREL_FUZZ_CHECK(S_ISCHR(info.st_mode) && info.st_rdev == node.device);
  const unsigned majorNumber = major(info.st_rdev);
  const unsigned minorNumber = minor(info.st_rdev);
  // Never /dev/tty, /dev/console, /dev/ptmx or a virtual console.
  KAVREL_FUZZ_CHECK(majorNumber != 5);
  KAVREL_FUZZ_CHECK(!(majorNumber == 4 && minorNumber < 64));
  if (node.kind == x::TtyKind::kPtySlave) {
    KAVREL_FUZZ_CHECK(majorNumber >= 136 && majorNumber <= 143);
  } else {
    KAVREL_FUZZ_CHECK(node.kind == x::TtyKind::kTty);
    KAVREL_FUZZ_CHECK(RealPath("/sys/dev/char/" + std::to_string(majorNumber) + ":" +
                               std::to_string(minorNumber) + "/subsystem") == "/sys/class/tty");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kavrel_fuzz::FuzzInput input(data, size);
  const auto mode = input.Number<std::uint8_t>();
  const std::string rest = input.Rest();
  const std::string path = (mode & 1) != 0 ? rest : "\\\\.\\" + rest;
  // A C caller's path ends at its first NUL byte.
  const char* const text = path.c_str();

  x::DeviceNode node;
  const kavrel::DWORD error = x::ResolveDevice(text, &node);
  std::string name;
  const bool prefixed = x::DeviceNameFromPath(text, &name);
  if (prefixed) {
    const bool acceptable = !CouldMisleadTheLookup(name) && name.size() < PATH_MAX;
    KAVREL_FUZZ_CHECK(x::IsAcceptableDeviceName(name) == acceptable);
    if (!acceptable) KAVREL_FUZZ_CHECK(error == p::ERROR_INVALID_NAME);
  } else {
    KAVREL_FUZZ_CHECK(error == p::ERROR_INVALID_NAME);
  }

  if (error == p::ERROR_SUCCESS) {
    CheckResolvedNode(node);
  } else {
    KAVREL_FUZZ_CHECK(error == p::ERROR_INVALID_NAME || error == p::ERROR_FILE_NOT_FOUND ||
                      error == p::ERROR_ACCESS_DENIED || error == p::ERROR_GEN_FAILURE);
  }

  const std::string alias = x::ComPortAlias(name);
  const unsigned long number = ComNumber(name);
  KAVREL_FUZZ_CHECK(alias.empty() == (number == 0));
  if (number != 0) KAVREL_FUZZ_CHECK(alias == "ttyS" + std::to_string(number - 1));
  return 0;
}
