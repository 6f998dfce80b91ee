// An output descriptor that two threads write to: the port's received bytes
// and the local echo of typed keys share the screen. Writes go in small
// pieces, each whole, so neither writer holds the other back for long, and
// the session's interrupt ends a write nobody takes.
#ifndef KAVREL_TERM_SHARED_OUTPUT_H
#define KAVREL_TERM_SHARED_OUTPUT_H

#include <cstddef>
#include <mutex>
#include <string>

#include "interruptible_io.h"

namespace kavrel_term {

class SharedOutput {
 public:
  SharedOutput(int fd, const Interrupt& interrupt) : fd_(fd), interrupt_(interrupt) {}

  // kDone once every byte is written; kInterrupted when the session ended
  // first; kFailed (errno set) when the descriptor fails.
  IoResult Write(const void* data, std::size_t size);
  IoResult Write(const std::string& text) { return Write(text.data(), text.size()); }

 private:
  const int fd_;
  const Interrupt& interrupt_;
  std::mutex mutex_;  // one piece at a time
};

}  // namespace kavrel_term

#endif  // KAVREL_TERM_SHARED_OUTPUT_H
