// Reading and writing descriptors (standard input and output, the keyboard,
// the screen) in a way the end of a session can cut short: a thread that
// waits on a descriptor nobody serves still ends when told to.
#ifndef KAVREL_TERM_INTERRUPTIBLE_IO_H
#define KAVREL_TERM_INTERRUPTIBLE_IO_H

#include <atomic>
#include <cstddef>

namespace kavrel_term {

// Raised once to end every wait below; never lowered.
class Interrupt {
 public:
  Interrupt();
  ~Interrupt();
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;

  // False when no wake-up descriptor could be had.
  bool ok() const { return fd_ >= 0; }
  // Thread-safe; raising twice is harmless.
  void Raise();
  bool raised() const { return raised_.load(); }
  // Readable once raised.
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::atomic<bool> raised_{false};
};

enum class IoResult {
  kDone,
  kInterrupted,
  kFailed,  // errno says why
};

// Waits until fd can be read without blocking (data, end of file or an
// error are all "readable").
IoResult WaitReadable(int fd, const Interrupt& interrupt);

// Writes all of data to fd, blocking or not. It waits for room before each
// piece and writes at most what a pipe takes without blocking, so the
// interrupt ends it between pieces even when nobody reads fd.
IoResult WriteAll(int fd, const void* data, std::size_t size, const Interrupt& interrupt);

}  // namespace kavrel_term

#endif  // KAVREL_TERM_INTERRUPTIBLE_IO_H
