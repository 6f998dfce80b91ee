// Runs the simulated instrument on the far end of a virtual pair, on a
// thread of its own: it answers each command line and sends its status line
// every period. It keeps a transcript of both directions so the demo can
// prove that every byte arrived unchanged.
#ifndef KAVREL_TERM_INSTRUMENT_THREAD_H
#define KAVREL_TERM_INSTRUMENT_THREAD_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "instrument.h"

namespace kavrel_term {

class InstrumentThread {
 public:
  // fd: the far end (a pty master), non-blocking; the caller keeps it open
  // until Stop has returned.
  InstrumentThread(int fd, std::chrono::milliseconds statusPeriod);
  ~InstrumentThread();
  InstrumentThread(const InstrumentThread&) = delete;
  InstrumentThread& operator=(const InstrumentThread&) = delete;

  bool Start(std::string& error);
  // Ends the thread; returns once it has finished. Safe to call twice.
  void Stop();

  struct Transcript {
    std::string received;              // every byte the instrument read
    std::string sent;                  // every byte it wrote
    std::vector<std::string> replies;  // each reply, without its "\r\n"
    unsigned statusLines = 0;
    std::string failure;  // why the thread ended early, if it did
  };
  // A copy of the transcript so far (thread-safe).
  Transcript transcript() const;
  // Waits until the thread has ended by itself or been stopped; false when
  // it still runs after timeout.
  bool WaitUntilEnded(std::chrono::milliseconds timeout) const;

 private:
  void Run();
  bool Send(const std::string& text);

  const int fd_;
  const std::chrono::milliseconds statusPeriod_;
  int wakeFd_ = -1;
  std::thread thread_;
  InstrumentModel model_;  // used by the thread only
  LineSplitter commands_;  // used by the thread only
  mutable std::mutex mutex_;
  Transcript transcript_;  // guarded by mutex_
  bool ended_ = false;     // guarded by mutex_
  mutable std::condition_variable endedChanged_;
};

}  // namespace kavrel_term

#endif  // KAVREL_TERM_INSTRUMENT_THREAD_H
