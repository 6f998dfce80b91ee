// A session that moves bytes both ways at once between an input and output
// pair and a port: the terminal, the pipe and --send are all this, set up
// differently.
//
// Four threads share the work, so no direction waits on the other:
//   - the input pump reads the input (standard input, a file, the keyboard)
//     into a bounded queue and spots the exit key;
//   - the writer hands the queued blocks to WriteSerial, the port's one
//     writing thread;
//   - the reader waits for received bytes and delivers them to the output,
//     the port's one reading thread;
//   - the thread that called RunDuplex watches the signals, the others'
//     reports, the device node and the time, drives the line controls the
//     terminal's keys ask for, and ends the session.
#ifndef KAVREL_TERM_DUPLEX_SESSION_H
#define KAVREL_TERM_DUPLEX_SESSION_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "key_names.h"
#include "line_maps.h"
#include "session.h"

namespace kavrel_term {

struct DuplexOptions {
  enum class Kind { kTerminal, kPipe, kSend };

  Kind kind = Kind::kPipe;
  LineOptions line;
  int inputFd = 0;
  std::size_t blockSize = 65536;       // the most read from the input, and written, at once
  std::size_t maxWaiting = 4 * 65536;  // input bytes queued for the port; 0: no bound
  // Once every input byte is written: finish when the line has been quiet
  // this long. Negative: the session ends only by the exit key, a signal or
  // a failure.
  int lingerMs = 200;
  std::string logFile;  // empty: no session log

  // The terminal.
  bool hex = false;
  ByteMap inputMap;
  ByteMap outputMap;
  bool echo = false;
  unsigned char exitKey = kDefaultExitKey;
  unsigned char menuKey = kDefaultMenuKey;

  // --send: a progress bar on stderr, against this total (0: unknown).
  bool progress = false;
  std::uint64_t inputSize = 0;
};

// Returns the exit status: 0, 1 for a failure (said on stderr in one line),
// or 128 + n after signal n. When a write to the port does not finish
// promptly once the session ends (a device that takes nothing), the process
// exits with that status at once, after restoring the terminal, without
// waiting for it.
int RunDuplex(const DuplexOptions& options);

}  // namespace kavrel_term

#endif  // KAVREL_TERM_DUPLEX_SESSION_H
