#include "raw_keyboard.h"

namespace kavrel_term {

RawKeyboard::RawKeyboard(int fd) : fd_(fd) {
  if (tcgetattr(fd_, &saved_) != 0) return;
  termios raw = saved_;
  cfmakeraw(&raw);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  active_ = tcsetattr(fd_, TCSAFLUSH, &raw) == 0;
}

void RawKeyboard::Restore() {
  // At once, not after the output has drained: a screen that takes nothing
  // must not keep the session from ending. Keys typed but not yet read stay
  // for the shell.
  if (active_) tcsetattr(fd_, TCSANOW, &saved_);
  active_ = false;
}

}  // namespace kavrel_term
