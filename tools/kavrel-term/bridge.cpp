#include "bridge.h"

#include <unistd.h>

#include "duplex_session.h"

namespace kavrel_term {

int RunTerminal(const TerminalOptions& options) {
  DuplexOptions session;
  session.kind = DuplexOptions::Kind::kTerminal;
  session.line = options.line;
  session.inputFd = STDIN_FILENO;
  session.blockSize = 4096;
  // Typed keys wait without a bound, so the exit key is read however long
  // the port takes: a person cannot type enough to matter.
  session.maxWaiting = 0;
  session.lingerMs = -1;
  session.logFile = options.logFile;
  session.hex = options.hex;
  session.inputMap = options.inputMap;
  session.outputMap = options.outputMap;
  session.echo = options.echo;
  session.exitKey = options.exitKey;
  session.menuKey = options.menuKey;
  return RunDuplex(session);
}

int RunPipe(const PipeOptions& options) {
  DuplexOptions session;
  session.kind = DuplexOptions::Kind::kPipe;
  session.line = options.line;
  session.inputFd = STDIN_FILENO;
  session.lingerMs = options.lingerMs;
  session.logFile = options.logFile;
  return RunDuplex(session);
}

}  // namespace kavrel_term
