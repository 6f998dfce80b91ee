// kavrel-term --send: sends a file through a port in blocks and exits,
// copying what the port receives meanwhile to standard output.
#ifndef KAVREL_TERM_SEND_FILE_H
#define KAVREL_TERM_SEND_FILE_H

#include <cstddef>
#include <string>

#include "session.h"

namespace kavrel_term {

struct SendOptions {
  LineOptions line;
  std::string file;
  std::size_t blockSize = 4096;
  int lingerMs = 0;  // after the last block: wait this long for the line to go quiet
  std::string logFile;
};

int RunSend(const SendOptions& options);

}  // namespace kavrel_term

#endif  // KAVREL_TERM_SEND_FILE_H
