// The thread that reads the port and writes what arrives to the output
// before reading more. A slow output so slows the reading, never the
// writing, and the port's queues hold what has not been read yet: nothing is
// dropped.
//
// It waits for bytes in one of two ways. By default it waits in ReadSerial
// itself, with the library's read wait: a read that finds nothing queued
// returns with the first bytes that arrive, or with none after the wait.
// That is the shortest path from the device to the output, and while the
// output is blocked nothing runs at all. With a settle or poll time
// (--settle, --poll) it waits for the listener's data-ready notification
// instead, as any Kavrel host does, which gathers a burst into fewer, larger
// deliveries.
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

  // window: the listener's notifications to wait for; null: the port has
  // the read wait readWait, and the reader waits in ReadSerial.
  PortReader(SerialCtl& port, DataReadyWindow* window, std::chrono::milliseconds readWait,
             SharedOutput& output, SessionLog& log, const Interrupt& interrupt,
             SessionEvents& events, Shown shown);

  // Runs until the interrupt (or the window's stop), or until Finish was
  // called and what was queued is out (then it reports kReaderFinished), or
  // a failure it reports.
  void Run();
  // Delivers what is queued, then ends; thread-safe.
  void Finish();
  // When bytes last arrived; thread-safe.
  std::chrono::steady_clock::time_point lastTraffic() const;

 private:
  void RunOnNotifications();
  void RunOnReadWait();
  // Reads until a read comes back short, writing out each delivery. False
  // when the session has to end.
  bool Deliver();
  // Logs and writes out count bytes of buffer_. False when the session has
  // to end.
  bool Show(int count);

  SerialCtl& port_;
  DataReadyWindow* const window_;
  const std::chrono::milliseconds readWait_;
  SharedOutput& output_;
  SessionLog& log_;
  const Interrupt& interrupt_;
  SessionEvents& events_;
  Shown shown_;
  std::vector<unsigned char> buffer_;
  std::atomic<std::chrono::steady_clock::rep> lastTraffic_;
  std::atomic<bool> finishing_{false};
};

}  // namespace kavrel_term

#endif  // KAVREL_TERM_PORT_READER_H
