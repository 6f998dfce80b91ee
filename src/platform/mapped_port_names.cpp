// The hook through which named ports give discovered ports their mapped
// names. The ports file (a short name mapped to a device path) is read by
// named ports; until that reader is wired in here, no port has a mapped
// name and mappedNames stays empty.
#include "platform/port_discovery.h"

namespace kavrel {
namespace platform {

void FillMappedNames(std::vector<SerialPortInfo>& ports) { static_cast<void>(ports); }

}  // namespace platform
}  // namespace kavrel
