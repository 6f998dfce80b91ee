// Keys as a user names them on the command line: the exit key, the menu key
// and the XON/XOFF characters. Ctrl-] quits by default, as telnet and
// miniterm use; Ctrl-T opens the line keys, as in miniterm and tio.
#ifndef KAVREL_TERM_KEY_NAMES_H
#define KAVREL_TERM_KEY_NAMES_H

#include <string>

namespace kavrel_term {

constexpr unsigned char kDefaultExitKey = 0x1D;  // Ctrl-]
constexpr unsigned char kDefaultMenuKey = 0x14;  // Ctrl-T

// "C-a", "Ctrl-A", "^A" (a control key: a letter or one of @ [ \ ] ^ _, case
// does not matter) or "0x1d" (any byte in hex). False for anything else.
bool ParseKey(const std::string& text, unsigned char& key);

// "Ctrl-]" for a control key, "0x7f" otherwise.
std::string KeyName(unsigned char key);

}  // namespace kavrel_term

#endif  // KAVREL_TERM_KEY_NAMES_H
