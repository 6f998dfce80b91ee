#include "quit_signals.h"

#include <sys/signalfd.h>
#include <unistd.h>

namespace kavrel_term {

QuitSignals::QuitSignals() {
  sigemptyset(&set_);
  sigaddset(&set_, SIGINT);
  sigaddset(&set_, SIGTERM);
  sigaddset(&set_, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set_, &previous_);
  fd_ = signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
}

QuitSignals::~QuitSignals() {
  if (fd_ >= 0) close(fd_);
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

int QuitSignals::Take() {
  signalfd_siginfo info{};
  if (read(fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
  return static_cast<int>(info.ssi_signo);
}

}  // namespace kavrel_term
