// The keyboard's terminal in raw mode for the length of a session: keys
// reach kavrel-term one by one and untranslated, and what the port sends is
// shown untranslated too (a bare LF moves down without returning to the
// margin, as on a real terminal; --imap changes that).
#ifndef KAVREL_TERM_RAW_KEYBOARD_H
#define KAVREL_TERM_RAW_KEYBOARD_H

#include <termios.h>

namespace kavrel_term {

class RawKeyboard {
 public:
  explicit RawKeyboard(int fd);
  ~RawKeyboard() { Restore(); }
  RawKeyboard(const RawKeyboard&) = delete;
  RawKeyboard& operator=(const RawKeyboard&) = delete;

  bool active() const { return active_; }
  // Puts the terminal back as it was; safe to call twice.
  void Restore();

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace kavrel_term

#endif  // KAVREL_TERM_RAW_KEYBOARD_H
