// Port discovery on Linux: every device of the kernel's tty class, as udev
// enumerates it, described by the rules of udev_port_description.
#include "platform/port_discovery.h"

#include <dirent.h>
#include <libudev.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <system_error>

#include "host/error_reason.h"
#include "kavrel/port_list.h"
#include "platform/fault_injection.h"
#include "platform/linux/udev_port_description.h"
#include "platform/platform.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

struct UdevRelease {
  void operator()(udev* context) const { udev_unref(context); }
  void operator()(udev_enumerate* enumeration) const { udev_enumerate_unref(enumeration); }
  void operator()(udev_device* device) const { udev_device_unref(device); }
};
template <typename T>
using UdevReference = std::unique_ptr<T, UdevRelease>;

// The udev daemon keeps a device's links in its database. Where that
// database cannot be read (a container given the host's /dev but not its
// /run/udev) the links themselves may still be there: each device node's
// links under /dev/serial, space-separated as DEVLINKS lists them.
using LinksByNode = std::map<std::string, std::string>;

void AddLinks(const char* directory, LinksByNode* links) {
  DIR* entries = opendir(directory);
  if (entries == nullptr) return;
  while (const dirent* entry = readdir(entries)) {
    if (entry->d_name[0] == '.') continue;
    const std::string link = std::string(directory) + entry->d_name;
    std::unique_ptr<char, decltype(&free)> target(realpath(link.c_str(), nullptr), &free);
    if (target == nullptr) continue;
    std::string& list = (*links)[target.get()];
    if (!list.empty()) list += ' ';
    list += link;
  }
  closedir(entries);
}

std::string Text(const char* value) { return value != nullptr ? value : std::string(); }

class LibudevTty : public UdevTty {
 public:
  LibudevTty(udev_device* tty, const LinksByNode& linksOnDisk)
      : tty_(tty), linksOnDisk_(linksOnDisk) {}

  std::string Property(const char* key) const override {
    std::string value = Text(udev_device_get_property_value(tty_, key));
    if (value.empty() && std::strcmp(key, "DEVLINKS") == 0) {
      const auto found = linksOnDisk_.find(Text(udev_device_get_devnode(tty_)));
      if (found != linksOnDisk_.end()) value = found->second;
    }
    return value;
  }

  std::string Attribute(SysfsLevel level, const char* name) const override {
    // Parents belong to the child: none of them is unreferenced here.
    udev_device* device = tty_;
    if (level == SysfsLevel::kUsbInterface) {
      device = udev_device_get_parent_with_subsystem_devtype(tty_, "usb", "usb_interface");
    } else if (level == SysfsLevel::kUsbDevice) {
      device = udev_device_get_parent_with_subsystem_devtype(tty_, "usb", "usb_device");
    }
    return device != nullptr ? Text(udev_device_get_sysattr_value(device, name)) : std::string();
  }

  // Newer kernels put the serial core's generic devices (subsystem
  // serial-base, drivers "port" and "ctrl") between a UART's tty and its
  // hardware; they bind every slot and say nothing about the port.
  std::string Driver() const override {
    for (udev_device* device = udev_device_get_parent(tty_); device != nullptr;
         device = udev_device_get_parent(device)) {
      const char* subsystem = udev_device_get_subsystem(device);
      if (subsystem != nullptr && std::strcmp(subsystem, "serial-base") == 0) continue;
      const char* name = udev_device_get_driver(device);
      if (name != nullptr) return name;
    }
    return std::string();
  }

 private:
  udev_device* tty_;
  const LinksByNode& linksOnDisk_;
};

DWORD ErrorForErrno(int error) {
  switch (error) {
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    default:
      return ERROR_GEN_FAILURE;
  }
}

bool Fail(const char* what, int error) {
  host::RecordFailure(ErrorForErrno(error),
                      std::string(what) + ": " + std::generic_category().message(error));
  return false;
}

bool ListTtys(std::vector<SerialPortInfo>* ports) {
  errno = 0;
  UdevReference<udev> context(TakePortDiscoveryFault() ? nullptr : udev_new());
  // udev_new fails only for want of memory, and may not say so in errno.
  if (context == nullptr) return Fail("cannot reach udev", errno != 0 ? errno : ENOMEM);
  UdevReference<udev_enumerate> enumeration(udev_enumerate_new(context.get()));
  if (enumeration == nullptr) return Fail("cannot enumerate devices through udev", ENOMEM);
  int result = udev_enumerate_add_match_subsystem(enumeration.get(), "tty");
  if (result >= 0) result = udev_enumerate_scan_devices(enumeration.get());
  if (result < 0) return Fail("cannot enumerate the tty devices through udev", -result);

  LinksByNode linksOnDisk;
  AddLinks("/dev/serial/by-id/", &linksOnDisk);
  AddLinks("/dev/serial/by-path/", &linksOnDisk);

  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration.get())) {
    // A tty that went away since the scan is simply not listed.
    UdevReference<udev_device> tty(
        udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
    if (tty == nullptr) continue;
    SerialPortInfo port;
    if (DescribeSerialPort(LibudevTty(tty.get(), linksOnDisk), &port)) {
      ports->push_back(std::move(port));
    }
  }
  return true;
}

}  // namespace

}  // namespace driver
}  // namespace platform

bool ListSerialPorts(std::vector<SerialPortInfo>& ports) {
  ports.clear();
  try {
    std::vector<SerialPortInfo> found;
    if (!platform::driver::ListTtys(&found)) return false;
    platform::FinishPortList(found);
    ports.swap(found);
    return true;
  } catch (const std::bad_alloc&) {
    host::RecordFailure(platform::ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}

}  // namespace kavrel
