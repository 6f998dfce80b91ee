// The interactive terminal and the pipe: both move bytes between a file
// descriptor pair and a port through one message loop.
#ifndef KAVREL_TERM_BRIDGE_H
#define KAVREL_TERM_BRIDGE_H

#include "session.h"

namespace kavrel_term {

struct TerminalOptions {
  LineOptions line;
  bool hex = false;
};

struct PipeOptions {
  LineOptions line;
  int lingerMs = 200;  // after end of input: wait this long for the line to go quiet
};

// The quit key of the terminal: Ctrl-] (0x1D), as telnet and miniterm use.
constexpr unsigned char kQuitKey = 0x1D;

// Each returns the process exit code and prints its own one-line errors.
int RunTerminal(const TerminalOptions& options);
int RunPipe(const PipeOptions& options);

}  // namespace kavrel_term

#endif  // KAVREL_TERM_BRIDGE_H
