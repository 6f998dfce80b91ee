#include "platform/port_discovery.h"

#include <algorithm>
#include <tuple>

namespace kavrel {
namespace platform {

namespace {

struct SplitName {
  std::string stem;        // "ttyS"
  bool hasNumber = false;  // a name without a number sorts before its numbered kin
  std::string digits;      // "10", leading zeros dropped
};

SplitName Split(const std::string& name) {
  std::size_t start = name.size();
  while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9') --start;
  SplitName split;
  split.stem = name.substr(0, start);
  split.hasNumber = start < name.size();
  const std::size_t firstSignificant = name.find_first_not_of('0', start);
  split.digits =
      firstSignificant == std::string::npos ? std::string() : name.substr(firstSignificant);
  return split;
}

}  // namespace

bool PortNameLess(const std::string& a, const std::string& b) {
  const SplitName left = Split(a);
  const SplitName right = Split(b);
  // Digits compared by length first, then as text: numbers of any length,
  // no overflow.
  const auto key = [](const SplitName& split) {
    return std::make_tuple(std::cref(split.stem), split.hasNumber, split.digits.size(),
                           std::cref(split.digits));
  };
  if (key(left) != key(right)) return key(left) < key(right);
  return a < b;  // "ttyS01" and "ttyS1": still a strict order
}

void FinishPortList(std::vector<SerialPortInfo>& ports) {
  std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return PortNameLess(a.name, b.name);
  });
  FillMappedNames(ports);
}

}  // namespace platform
}  // namespace kavrel
