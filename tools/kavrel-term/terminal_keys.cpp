#include "terminal_keys.h"

namespace kavrel_term {

namespace {

KeyCommand CommandFor(unsigned char key) {
  // Ctrl-B is 0x02, b 0x62, B 0x42: the low five bits name the letter.
  const bool letter = (key >= 'a' && key <= 'z') || (key >= 'A' && key <= 'Z') || key < 0x20;
  switch (letter ? (key & 0x1F) : 0) {
    case 'b' & 0x1F:
      return KeyCommand::kBreak;
    case 'p' & 0x1F:
      return KeyCommand::kPulseDtr;
    case 'd' & 0x1F:
      return KeyCommand::kToggleDtr;
    case 'r' & 0x1F:
      return KeyCommand::kToggleRts;
    default:
      return KeyCommand::kHelp;
  }
}

}  // namespace

ScannedKeys KeyScanner::Scan(const std::string& typed) {
  ScannedKeys scanned;
  for (const char c : typed) {
    const auto key = static_cast<unsigned char>(c);
    if (menuPending_) {
      menuPending_ = false;
      if (key == menuKey_) {
        scanned.toPort += c;
      } else {
        scanned.commands.push_back(CommandFor(key));
      }
    } else if (key == exitKey_) {
      scanned.exitPressed = true;
      break;
    } else if (key == menuKey_) {
      menuPending_ = true;
    } else {
      scanned.toPort += c;
    }
  }
  return scanned;
}

const char* KeyScanner::CommandList() {
  return "b break, p pulse DTR, d DTR on/off, r RTS on/off, the menu key again sends it";
}

}  // namespace kavrel_term
