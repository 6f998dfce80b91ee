// Why the library refuses a combination of line settings, in English. The
// library raises one message box for every refusal; kavrel-term names the
// rule that was broken.
#ifndef KAVREL_TERM_SETTINGS_REASON_H
#define KAVREL_TERM_SETTINGS_REASON_H

#include <string>

namespace kavrel_term {

// stopBits is "1", "1.5" or "2". "1.5 stop bits need 5 data bits", "2 stop
// bits need 6 to 8 data bits", "data bits must be 5 to 8"; when no such rule
// is broken, the device refused the rate.
std::string ExplainRefusedSettings(long baud, int dataBits, const std::string& stopBits);

}  // namespace kavrel_term

#endif  // KAVREL_TERM_SETTINGS_REASON_H
