#include "settings_reason.h"

namespace kavrel_term {

std::string ExplainRefusedSettings(long baud, int dataBits, const std::string& stopBits) {
  // The rules a UART imposes, which the library checks before the device
  // sees the settings.
  if (dataBits < 5 || dataBits > 8) return "data bits must be 5 to 8";
  if (stopBits == "1.5" && dataBits != 5) return "1.5 stop bits need 5 data bits";
  if (stopBits == "2" && dataBits == 5) return "2 stop bits need 6 to 8 data bits";
  if (baud <= 0) return "the rate must be above 0 baud";
  return "the device cannot run at " + std::to_string(baud) + " baud";
}

}  // namespace kavrel_term
