// The signals that end a session (SIGINT, SIGTERM, SIGHUP), taken through a
// signalfd so the session restores the terminal and closes the port on the
// way out, and exits with 128 + the signal's number.
#ifndef KAVREL_TERM_QUIT_SIGNALS_H
#define KAVREL_TERM_QUIT_SIGNALS_H

#include <signal.h>

namespace kavrel_term {

class QuitSignals {
 public:
  // Blocks the signals in the calling thread. Construct it before any other
  // thread starts (the library's listener included), so every thread
  // inherits the mask and the signals reach only the signalfd.
  QuitSignals();
  ~QuitSignals();
  QuitSignals(const QuitSignals&) = delete;
  QuitSignals& operator=(const QuitSignals&) = delete;

  bool ok() const { return fd_ >= 0; }
  // Readable once one of the signals is pending.
  int fd() const { return fd_; }
  // The pending signal's number, or 0 when none is pending.
  int Take();

 private:
  sigset_t set_{};
  sigset_t previous_{};
  int fd_ = -1;
};

}  // namespace kavrel_term

#endif  // KAVREL_TERM_QUIT_SIGNALS_H
