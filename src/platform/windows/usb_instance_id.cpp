#include "platform/windows/usb_instance_id.h"

#include <cctype>
#include <vector>

namespace kavrel {
namespace platform {

namespace {

// Instance ids are not case-sensitive ("USB\Vid_0403&Pid_6001" occurs).
bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// "VID_0403" -> 0x0403 when part is key followed by exactly `digits` hex
// digits; -1 otherwise.
long HexField(const std::string& part, const char* key, std::size_t digits) {
  const std::string prefix(key);
  if (part.size() != prefix.size() + digits) return -1;
  if (!SameIgnoringCase(part.substr(0, prefix.size()), prefix)) return -1;
  long value = 0;
  for (std::size_t i = prefix.size(); i < part.size(); ++i) {
    const char c = part[i];
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

std::vector<std::string> SplitAt(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

}  // namespace

bool ParseUsbInstanceId(const std::string& instanceId, UsbInstanceId* id) {
  // Enumerator, hardware part and instance part, separated by backslashes.
  const std::vector<std::string> levels = SplitAt(instanceId, '\\');
  if (levels.size() != 3 || !SameIgnoringCase(levels[0], "USB")) return false;

  *id = UsbInstanceId();
  long vendor = -1;
  long product = -1;
  for (const std::string& field : SplitAt(levels[1], '&')) {
    if (vendor < 0) vendor = HexField(field, "VID_", 4);
    if (product < 0) product = HexField(field, "PID_", 4);
    const long interfaceNumber = HexField(field, "MI_", 2);
    if (interfaceNumber >= 0) id->interfaceNumber = static_cast<int>(interfaceNumber);
  }
  if (vendor < 0 || product < 0) return false;
  id->vendorId = static_cast<std::uint16_t>(vendor);
  id->productId = static_cast<std::uint16_t>(product);
  if (id->interfaceNumber < 0 && !levels[2].empty() && levels[2].find('&') == std::string::npos) {
    id->serialNumber = levels[2];
  }
  return true;
}

}  // namespace platform
}  // namespace kavrel
