// kavrel-term --list: the serial ports on this machine, found through
// libudev.
#ifndef KAVREL_TERM_PORT_LIST_H
#define KAVREL_TERM_PORT_LIST_H

#include <string>
#include <vector>

#include "text_format.h"

namespace kavrel_term {

// Every tty backed by a device (a UART, a USB adapter, a modem), sorted by
// name. Virtual terminals, pseudo-terminals and the placeholder ttyS ports of
// a serial driver with no UART behind them are left out. False (with why)
// when udev cannot be asked.
bool ListSerialPorts(std::vector<PortInfo>& ports, std::string& error);

int RunList();

}  // namespace kavrel_term

#endif  // KAVREL_TERM_PORT_LIST_H
