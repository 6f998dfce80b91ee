// The key that ends a terminal session: Ctrl-] by default, as telnet and
// miniterm use; any byte can be chosen instead.
#ifndef KAVREL_TERM_EXIT_KEY_H
#define KAVREL_TERM_EXIT_KEY_H

#include <string>

namespace kavrel_term {

constexpr unsigned char kDefaultExitKey = 0x1D;  // Ctrl-]

// "C-a", "Ctrl-A", "^A" (a control key: a letter or one of @ [ \ ] ^ _, case
// does not matter) or "0x1d" (any byte in hex). False for anything else.
bool ParseExitKey(const std::string& text, unsigned char& key);

// "Ctrl-]" for a control key, "0x7f" otherwise.
std::string ExitKeyName(unsigned char key);

}  // namespace kavrel_term

#endif  // KAVREL_TERM_EXIT_KEY_H
