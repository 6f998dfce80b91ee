// What the threads of a session tell the thread that runs it: the exit key,
// the end of the input, a failure. The running thread waits on fd() beside
// the signals it watches.
#ifndef KAVREL_TERM_SESSION_EVENTS_H
#define KAVREL_TERM_SESSION_EVENTS_H

#include <mutex>
#include <string>
#include <vector>

namespace kavrel_term {

enum class EventKind {
  kExitKey,         // the user pressed the exit key
  kInputEnded,      // end of the input; error: errno, or 0 at end of file
  kWriterDrained,   // every input byte has been written to the port
  kWriteFailed,     // text: the library's reason
  kReadFailed,      // text: the library's reason
  kOutputFailed,    // error: errno of the failed write to the output
  kLogFailed,       // error: errno of the failed write to the session log
  kReaderFinished,  // the reader delivered what was left and ended
  kKeyCommand,      // error: the KeyCommand typed after the menu key
};

struct SessionEvent {
  EventKind kind;
  int error;
  std::string text;
};

class SessionEvents {
 public:
  SessionEvents();
  ~SessionEvents();
  SessionEvents(const SessionEvents&) = delete;
  SessionEvents& operator=(const SessionEvents&) = delete;

  bool ok() const { return fd_ >= 0; }
  // Readable while events wait.
  int fd() const { return fd_; }
  // Thread-safe.
  void Report(EventKind kind, int error = 0, const std::string& text = std::string());
  // The events reported since the last call, oldest first.
  std::vector<SessionEvent> Take();

 private:
  int fd_ = -1;  // eventfd
  std::mutex mutex_;
  std::vector<SessionEvent> events_;  // guarded by mutex_
};

}  // namespace kavrel_term

#endif  // KAVREL_TERM_SESSION_EVENTS_H
