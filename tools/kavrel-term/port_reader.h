// The thread that reads the port: it waits for the listener's data-ready
// notification, delivers what the port has queued, and writes it out before
// reading more. A slow output so slows the reading, never the writing, and
// the port's queues hold what has not been read yet: nothing is dropped.
#ifndef KAVREL_TERM_PORT_READER_H
#define KAVREL_TERM_PORT_READER_H

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "data_ready_window.h"
#include "interruptible_io.h"
#include "kavrel/SerialCtl.h"
#include "session_events.h"
#include "session_log.h"
#include "shared_output.h"

namespace kavrel_term {

class PortReader {
 public:
  // How received bytes are shown (a hex dump, a map); empty: unchanged.
  using Shown = std::function<std::string(const unsigned char* data, std::size_t size)>;

  PortReader(SerialCtl& port, DataReadyWindow& window, SharedOutput& output, SessionLog& log,
             const Interrupt& interrupt, SessionEvents& events, Shown shown);

  // Runs until the window says stop, or says finish and what was queued is
  // out (then it reports kReaderFinished), or a failure it reports.
  void Run();
  // When bytes last arrived; thread-safe.
  std::chrono::steady_clock::time_point lastTraffic() const;

 private:
  // Reads until a read comes back short, writing out each delivery. False
  // when the session has to end.
  bool Deliver();

  SerialCtl& port_;
  DataReadyWindow& window_;
  SharedOutput& output_;
  SessionLog& log_;
  const Interrupt& interrupt_;
  SessionEvents& events_;
  Shown shown_;
  std::vector<unsigned char> buffer_;
  std::atomic<std::chrono::steady_clock::rep> lastTraffic_;
};

}  // namespace kavrel_term

#endif  // KAVREL_TERM_PORT_READER_H
