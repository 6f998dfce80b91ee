#include "input_pump.h"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace kavrel_term {

void InputPump::Run() {
  std::vector<char> buffer(blockSize_);
  for (;;) {
    const IoResult ready = WaitReadable(fd_, interrupt_);
    if (ready == IoResult::kInterrupted) return;
    const ssize_t got = ready == IoResult::kDone ? read(fd_, buffer.data(), buffer.size()) : -1;
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) {
      const int error = got == 0 ? 0 : errno;
      queue_.EndInput();
      events_.Report(EventKind::kInputEnded, error);
      return;
    }
    std::string block(buffer.data(), static_cast<std::size_t>(got));
    const bool goOn = keys_ == nullptr || HandleKeys(block);
    if (!block.empty() && !queue_.Push(std::move(block))) return;
    if (!goOn) {
      events_.Report(EventKind::kExitKey);
      return;
    }
  }
}

bool InputPump::HandleKeys(std::string& block) {
  // Keys after the exit key are not the user's to send: the session ends.
  ScannedKeys scanned = scanner_->Scan(block);
  block.swap(scanned.toPort);
  for (const KeyCommand command : scanned.commands) {
    events_.Report(EventKind::kKeyCommand, static_cast<int>(command));
  }
  if (keys_->echo != nullptr && !block.empty()) {
    std::string shown;
    for (char key : block) shown += key == '\r' ? std::string("\r\n") : std::string(1, key);
    // The echo is a courtesy: a screen that fails shows up in the reader.
    keys_->echo->Write(shown);
  }
  if (!keys_->outputMap.empty()) {
    block =
        keys_->outputMap.Apply(reinterpret_cast<const unsigned char*>(block.data()), block.size());
  }
  return !scanned.exitPressed;
}

}  // namespace kavrel_term
