// Reads what goes to the port (standard input, a file, the keyboard) on a
// thread of its own and queues it for the writing thread, so reading the
// input never waits on the port and the exit key is seen at once however
// slow the port is.
#ifndef KAVREL_TERM_INPUT_PUMP_H
#define KAVREL_TERM_INPUT_PUMP_H

#include <cstddef>
#include <optional>

#include "block_queue.h"
#include "interruptible_io.h"
#include "line_maps.h"
#include "session_events.h"
#include "shared_output.h"
#include "terminal_keys.h"

namespace kavrel_term {

// What the terminal does with keys before they go to the port.
struct KeyHandling {
  unsigned char exitKey;
  unsigned char menuKey;
  ByteMap outputMap;
  SharedOutput* echo = nullptr;  // shows typed keys (CR as CR LF); null: no echo
};

class InputPump {
 public:
  // keys: null outside the terminal. The pump reports kInputEnded, kExitKey
  // and kKeyCommand; it ends at the first two, at a failure, or at the
  // interrupt.
  InputPump(int fd, std::size_t blockSize, BlockQueue& queue, const Interrupt& interrupt,
            SessionEvents& events, const KeyHandling* keys)
      : fd_(fd),
        blockSize_(blockSize),
        queue_(queue),
        interrupt_(interrupt),
        events_(events),
        keys_(keys) {
    if (keys_ != nullptr) scanner_.emplace(keys_->exitKey, keys_->menuKey);
  }

  void Run();

 private:
  // Applies the terminal's key handling; false once the exit key was seen.
  bool HandleKeys(std::string& block);

  const int fd_;
  const std::size_t blockSize_;
  BlockQueue& queue_;
  const Interrupt& interrupt_;
  SessionEvents& events_;
  const KeyHandling* const keys_;
  std::optional<KeyScanner> scanner_;  // with keys_
};

}  // namespace kavrel_term

#endif  // KAVREL_TERM_INPUT_PUMP_H
