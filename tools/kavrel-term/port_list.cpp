#include "port_list.h"

#include <libudev.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kavrel_term {

namespace {

std::string Text(const char* value) { return value != nullptr ? value : ""; }

// "ttyS10" after "ttyS9": compare the trailing numbers as numbers.
bool NaturalLess(const PortInfo& a, const PortInfo& b) {
  auto split = [](const std::string& name) {
    std::size_t digits = name.size();
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
    const std::string number = name.substr(digits);
    return std::make_pair(name.substr(0, digits), number.empty() ? -1L : std::stol(number));
  };
  return split(a.device) < split(b.device);
}

// An 8250-family driver registers a fixed number of ttyS ports whether or
// not a UART answers; sysfs reports type 0 (unknown) for the empty ones.
bool IsEmptyUartSlot(udev_device* tty) {
  const char* type = udev_device_get_sysattr_value(tty, "type");
  return type != nullptr && std::strcmp(type, "0") == 0;
}

// The driver that serves the port: the first one found walking up from the
// tty (the usb-serial driver, cdc_acm, serial8250, ...). Newer kernels put
// generic serial-core devices in between (subsystem serial-base, drivers
// "port" and "ctrl"), which say nothing about the hardware.
std::string DriverOf(udev_device* tty) {
  for (udev_device* device = udev_device_get_parent(tty); device != nullptr;
       device = udev_device_get_parent(device)) {
    const char* subsystem = udev_device_get_subsystem(device);
    if (subsystem != nullptr && std::strcmp(subsystem, "serial-base") == 0) continue;
    const char* driver = udev_device_get_driver(device);
    if (driver != nullptr) return driver;
  }
  return std::string();
}

}  // namespace

bool ListSerialPorts(std::vector<PortInfo>& ports, std::string& error) {
  ports.clear();
  udev* context = udev_new();
  if (context == nullptr) {
    error = "cannot reach udev";
    return false;
  }
  udev_enumerate* enumeration = udev_enumerate_new(context);
  if (enumeration == nullptr || udev_enumerate_add_match_subsystem(enumeration, "tty") < 0 ||
      udev_enumerate_scan_devices(enumeration) < 0) {
    if (enumeration != nullptr) udev_enumerate_unref(enumeration);
    udev_unref(context);
    error = "cannot enumerate tty devices through udev";
    return false;
  }

  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration)) {
    udev_device* tty = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
    if (tty == nullptr) continue;
    const std::string node = Text(udev_device_get_devnode(tty));
    // A tty without a parent device is virtual (tty1, console, ptmx).
    if (udev_device_get_parent(tty) != nullptr && node.compare(0, 5, "/dev/") == 0 &&
        !IsEmptyUartSlot(tty)) {
      PortInfo port;
      port.device = node.substr(5);
      port.driver = DriverOf(tty);
      // Parents belong to the child: none of them is unreferenced here.
      udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
      if (usb != nullptr) {
        port.vendorId = Text(udev_device_get_sysattr_value(usb, "idVendor"));
        port.productId = Text(udev_device_get_sysattr_value(usb, "idProduct"));
        port.manufacturer = Text(udev_device_get_sysattr_value(usb, "manufacturer"));
        port.product = Text(udev_device_get_sysattr_value(usb, "product"));
        port.serialNumber = Text(udev_device_get_sysattr_value(usb, "serial"));
      }
      ports.push_back(port);
    }
    udev_device_unref(tty);
  }
  udev_enumerate_unref(enumeration);
  udev_unref(context);
  std::sort(ports.begin(), ports.end(), NaturalLess);
  return true;
}

int RunList() {
  std::vector<PortInfo> ports;
  std::string error;
  if (!ListSerialPorts(ports, error)) {
    std::fprintf(stderr, "kavrel-term: %s\n", error.c_str());
    return 1;
  }
  std::fputs(FormatPortTable(ports).c_str(), stdout);
  return 0;
}

}  // namespace kavrel_term
