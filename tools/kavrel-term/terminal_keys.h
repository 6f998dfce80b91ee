// The keys the terminal keeps for itself: the exit key, and the menu key
// followed by a command key for the line controls (miniterm and tio users
// know the shape: Ctrl-T, then b for a break). Every other key goes to the
// port.
#ifndef KAVREL_TERM_TERMINAL_KEYS_H
#define KAVREL_TERM_TERMINAL_KEYS_H

#include <string>
#include <vector>

namespace kavrel_term {

enum class KeyCommand {
  kBreak,      // b: send a break
  kPulseDtr,   // p: DTR to the other level for a moment, then back
  kToggleDtr,  // d
  kToggleRts,  // r
  kHelp,       // any other key after the menu key: list the command keys
};

struct ScannedKeys {
  std::string toPort;                // the keys that go to the port, in order
  std::vector<KeyCommand> commands;  // in the order they were typed
  bool exitPressed = false;          // keys after the exit key are dropped
};

class KeyScanner {
 public:
  // The two keys must differ.
  KeyScanner(unsigned char exitKey, unsigned char menuKey) : exitKey_(exitKey), menuKey_(menuKey) {}

  // Splits typed keys. A menu key at the end of one piece takes its command
  // from the next; the menu key typed twice sends it to the port once. A
  // command key counts in either case and with Ctrl held (b, B or Ctrl-B).
  ScannedKeys Scan(const std::string& typed);

  // "b break, p pulse DTR, ...": the command keys, for the help line.
  static const char* CommandList();

 private:
  const unsigned char exitKey_;
  const unsigned char menuKey_;
  bool menuPending_ = false;
};

}  // namespace kavrel_term

#endif  // KAVREL_TERM_TERMINAL_KEYS_H
