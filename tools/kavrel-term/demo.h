// kavrel-term --demo: a complete exchange with a simulated instrument over a
// virtual null-modem pair, needing no hardware.
#ifndef KAVREL_TERM_DEMO_H
#define KAVREL_TERM_DEMO_H

#include "session.h"

namespace kavrel_term {

// line.port is ignored (the demo makes its own pair); an empty line.capture
// means a capture file in the temporary directory. Returns the exit code.
int RunDemo(LineOptions line);

}  // namespace kavrel_term

#endif  // KAVREL_TERM_DEMO_H
