#include "port_names.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>

namespace kavrel_term {

namespace {

constexpr std::size_t kLongestPortName = 9;  // SerialCtl::portName holds 9 characters

bool IsComName(const std::string& name, long& number) {
  if (name.size() < 4 || name.compare(0, 3, "COM") != 0) return false;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  number = std::strtol(name.c_str() + 3, nullptr, 10);
  return number >= 1;
}

bool IsTerminalDevice(const struct stat& info) {
  if (!S_ISCHR(info.st_mode)) return false;
  const unsigned major = ::major(info.st_rdev);
  // Pseudo-terminal slaves (Unix98 ptys) are not in sysfs; every other tty
  // is, under the tty class.
  if (major >= 136 && major <= 143) return true;
  const std::string link =
      "/sys/dev/char/" + std::to_string(major) + ":" + std::to_string(::minor(info.st_rdev)) +
      "/subsystem";
  char target[PATH_MAX];
  const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
  if (length <= 0) return false;
  target[length] = '\0';
  const std::string subsystem(target);
  return subsystem.size() >= 4 && subsystem.compare(subsystem.size() - 4, 4, "/tty") == 0;
}

}  // namespace

std::string NormalisePortName(const std::string& argument) {
  static const std::string kDev = "/dev/";
  if (argument.compare(0, kDev.size(), kDev) == 0) return argument.substr(kDev.size());
  return argument;
}

std::string PortNameProblem(const std::string& name) {
  if (name.empty()) return "empty port name";
  if (name[0] == '/') return "not a port name (use a name under /dev, such as ttyUSB0)";
  if (name == ".." || name.compare(0, 3, "../") == 0 || name.find("/../") != std::string::npos ||
      (name.size() >= 3 && name.compare(name.size() - 3, 3, "/..") == 0)) {
    return "not a port name (\"..\" is refused)";
  }
  if (name.size() > kLongestPortName) {
    return "port name longer than 9 characters (Kavrel refuses it rather than cut it)";
  }
  return std::string();
}

std::string DevicePathFor(const std::string& name, const std::string& devRoot) {
  const std::string direct = devRoot + "/" + name;
  long number = 0;
  struct stat info {};
  if (IsComName(name, number) && stat(direct.c_str(), &info) != 0) {
    return devRoot + "/ttyS" + std::to_string(number - 1);
  }
  return direct;
}

std::string OpenFailureReason(const std::string& devicePath) {
  struct stat info {};
  if (stat(devicePath.c_str(), &info) != 0) return "no such port (" + devicePath + " does not exist)";
  if (!IsTerminalDevice(info)) return "not a serial port (" + devicePath + " is not a tty)";
  if (access(devicePath.c_str(), R_OK | W_OK) != 0) {
    return "permission denied on " + devicePath + " (is your user in the group that owns it?)";
  }
  return "port busy (another program has " + devicePath + " open)";
}

}  // namespace kavrel_term
