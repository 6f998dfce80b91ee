// kavrel-term --list: the serial ports on this machine, as the library's
// port discovery finds them, with the named ports that open each, and the
// named ports that open none of them.
#ifndef KAVREL_TERM_PORT_LIST_H
#define KAVREL_TERM_PORT_LIST_H

namespace kavrel_term {

// Prints the port table; 1 (with the reason on stderr) when the ports
// cannot be listed.
int RunList();

}  // namespace kavrel_term

#endif  // KAVREL_TERM_PORT_LIST_H
