// The thread that writes the port: it takes the input's blocks in order and
// hands each to WriteSerial, which returns once the device has taken it.
// It is the port's one writing thread, beside the one reading thread.
#ifndef KAVREL_TERM_PORT_WRITER_H
#define KAVREL_TERM_PORT_WRITER_H

#include <atomic>
#include <cstdint>

#include "block_queue.h"
#include "kavrel/SerialCtl.h"
#include "session.h"
#include "session_events.h"
#include "session_log.h"

namespace kavrel_term {

class PortWriter {
 public:
  PortWriter(SerialCtl& port, BlockQueue& queue, SessionLog& log, SessionEvents& events)
      : port_(port), queue_(queue), log_(log), events_(events) {}

  // Runs until the queue ends (then it reports kWriterDrained) or a write
  // fails (kWriteFailed, with the library's reason).
  void Run();
  // Bytes the device has taken so far; thread-safe.
  std::uint64_t written() const { return written_.load(); }

 private:
  SerialCtl& port_;
  BlockQueue& queue_;
  SessionLog& log_;
  SessionEvents& events_;
  std::atomic<std::uint64_t> written_{0};
};

}  // namespace kavrel_term

#endif  // KAVREL_TERM_PORT_WRITER_H
