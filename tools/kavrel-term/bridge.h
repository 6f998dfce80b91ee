// The interactive terminal and the pipe: both move bytes between a file
// descriptor pair and a port in a duplex session.
#ifndef KAVREL_TERM_BRIDGE_H
#define KAVREL_TERM_BRIDGE_H

#include "key_names.h"
#include "line_maps.h"
#include "session.h"

namespace kavrel_term {

struct TerminalOptions {
  LineOptions line;
  bool hex = false;
  bool echo = false;
  ByteMap inputMap;   // how received bytes are shown (not in hex)
  ByteMap outputMap;  // how typed keys are sent
  unsigned char exitKey = kDefaultExitKey;
  unsigned char menuKey = kDefaultMenuKey;
  std::string logFile;
};

struct PipeOptions {
  LineOptions line;
  int lingerMs = 200;  // after end of input: wait this long for the line to go quiet
  std::string logFile;
};

// Each returns the process exit code and prints its own one-line errors.
int RunTerminal(const TerminalOptions& options);
int RunPipe(const PipeOptions& options);

}  // namespace kavrel_term

#endif  // KAVREL_TERM_BRIDGE_H
