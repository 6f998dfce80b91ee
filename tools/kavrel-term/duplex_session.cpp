#include "duplex_session.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "block_queue.h"
#include "data_ready_window.h"
#include "input_pump.h"
#include "interruptible_io.h"
#include "kavrel/port_control.h"
#include "port_reader.h"
#include "port_writer.h"
#include "quit_signals.h"
#include "raw_keyboard.h"
#include "session_events.h"
#include "session_log.h"
#include "shared_output.h"
#include "text_format.h"
#include "worker.h"

namespace kavrel_term {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often the device node is looked at, so an unplugged adapter ends the
// session instead of leaving it silent.
constexpr milliseconds kPresenceCheck{500};
constexpr milliseconds kProgressInterval{100};
constexpr int kBarWidth = 30;
// How long the threads get to end once the session is over. The reader and
// the pump end at once; only a WriteSerial the device does not finish can
// take longer, and then the close ends it.
constexpr milliseconds kEndGrace{300};
// How long the reader's reads wait for the first bytes: the longest the
// reader takes to see the end of a session, and the only wake-ups of an
// idle session.
constexpr milliseconds kReadWait{50};
// The terminal's line keys: DTR held at the other level this long, as a
// microcontroller's reset wants; a break this long, as tcsendbreak sends.
constexpr milliseconds kDtrPulse{100};
constexpr milliseconds kBreakLength{250};

int MillisecondsUntil(Clock::time_point when) {
  const auto left = std::chrono::duration_cast<milliseconds>(when - Clock::now()).count();
  return static_cast<int>(std::max<long long>(0, left));
}

class DuplexSession {
 public:
  explicit DuplexSession(const DuplexOptions& options)
      : options_(options),
        terminal_(options.kind == DuplexOptions::Kind::kTerminal),
        onNotifications_(options.line.settleMs > 0 || options.line.pollMs > 0),
        line_(options.line),
        name_(options.line.port),
        port_(new SerialCtl),
        output_(STDOUT_FILENO, interrupt_),
        queue_(options.maxWaiting) {}
  // Closes the port when the session ends before its threads start.
  ~DuplexSession() {
    port_->CloseSerial();
    kavrel::SetMainWindow(nullptr);
  }
  DuplexSession(const DuplexSession&) = delete;
  DuplexSession& operator=(const DuplexSession&) = delete;

  // Everything up to the threads; false (said on stderr) when the session
  // cannot start. The port is closed again on the way out.
  bool Open();
  // Starts the threads and runs the session to its end.
  int Run();

 private:
  // The session's end: waits for a reason and returns the exit status.
  int Supervise();
  // Ends the threads, closes the port and restores the terminal. Exits the
  // process when a thread does not end in time.
  int Close(int exitCode);
  bool DeviceStillThere() const;
  // The terminal's line keys. A pulse or a break ends on the supervisor's
  // clock, so signals and other keys are seen meanwhile.
  void RunKeyCommand(KeyCommand command);
  void EndPulse();
  void EndBreak();
  void ShowProgress(bool final);
  // One line on stderr; on a raw terminal the line needs its CR.
  void Say(const std::string& line) const;

  const DuplexOptions& options_;
  const bool terminal_;
  const bool onNotifications_;  // the reader waits for the listener, not in its reads
  LineOptions line_;
  const std::string name_;  // PORT as the user typed it
  // A path that leads to the device for as long as it is there (the path
  // the user typed, or the name under /dev); empty when there is none to
  // look at (a named port, COMn), and then the reads' failure tells.
  std::string presencePath_;
  QuitSignals signals_;  // first: blocks the signals before any thread starts
  Interrupt interrupt_;
  SessionEvents events_;
  DataReadyWindow window_;
  std::unique_ptr<SerialCtl> port_;  // about 400 KiB: kept off the stack
  SessionLog log_;
  std::optional<RawKeyboard> keyboard_;
  SharedOutput output_;
  BlockQueue queue_;
  KeyHandling keys_{};
  std::unique_ptr<InputPump> pump_;
  std::unique_ptr<PortReader> reader_;
  std::unique_ptr<PortWriter> writer_;
  Worker pumpThread_;
  Worker readerThread_;
  Worker writerThread_;
  bool exitKeyPressed_ = false;
  // The levels DTR and RTS are at, as far as kavrel-term set them: a tty
  // raises both when it is opened.
  bool dtrRaised_ = true;
  bool rtsRaised_ = true;
  std::optional<Clock::time_point> pulseEnds_;
  std::optional<Clock::time_point> breakEnds_;
  Clock::time_point started_ = Clock::now();
  Clock::time_point lastProgress_;
};

void DuplexSession::Say(const std::string& line) const {
  const std::string text = "kavrel-term: " + line + (keyboard_ ? "\r\n" : "\n");
  (void)!write(STDERR_FILENO, text.data(), text.size());
}

bool DuplexSession::DeviceStillThere() const {
  struct stat info {};
  return presencePath_.empty() || stat(presencePath_.c_str(), &info) == 0;
}

bool DuplexSession::Open() {
  if (!signals_.ok() || !interrupt_.ok() || !events_.ok()) {
    Say(std::string("cannot set up the session: ") + std::strerror(errno));
    return false;
  }
  if (terminal_ && !isatty(options_.inputFd)) {
    Say("standard input is not a terminal (use --pipe for scripts)");
    return false;
  }
  if (!onNotifications_) line_.readWaitMs = static_cast<unsigned>(kReadWait.count());
  const std::string error = OpenPort(*port_, line_);
  if (!error.empty()) {
    Say(error);
    return false;
  }
  dtrRaised_ = line_.dtr != "off";
  rtsRaised_ = line_.rts != "off";
  struct stat info {};
  presencePath_ = IsDevicePath(name_) ? name_ : "/dev/" + name_;
  if (stat(presencePath_.c_str(), &info) != 0) presencePath_.clear();
  if (!options_.logFile.empty() &&
      !log_.Open(options_.logFile, name_,
                 ShortLine(options_.line) + " " + std::to_string(options_.line.baud) + " baud")) {
    Say("cannot write the session log " + options_.logFile + ": " + std::strerror(errno));
    return false;
  }
  if (onNotifications_) {
    kavrel::SetMainWindow(&window_);
    port_->ListenSerial(line_.settleMs, line_.pollMs);
    const std::string refused = HostHooks::TakeMessages();
    if (!refused.empty()) {
      Say(name_ + ": cannot listen: " + refused);
      return false;
    }
  }
  if (terminal_) {
    // Raw before the banner: keys typed once the user sees it go to the
    // port, none are held back by the line editor or flushed by the switch.
    keyboard_.emplace(options_.inputFd);
    if (!keyboard_->active()) {
      keyboard_.reset();
      Say("cannot put the terminal in raw mode: " + std::string(std::strerror(errno)));
      return false;
    }
    Say("connected to " + name_ + ", " + DescribeLine(line_) +
        (line_.capture.empty() ? "" : ", capture " + line_.capture) +
        (options_.logFile.empty() ? "" : ", log " + options_.logFile) + ". Press " +
        KeyName(options_.exitKey) + " to quit. " + KeyName(options_.menuKey) +
        " then h lists the line keys.");
  }
  return true;
}

int DuplexSession::Run() {
  PortReader::Shown shown;
  if (options_.hex) {
    shown = [dumper = HexDumper(terminal_ ? "\r\n" : "\n")](const unsigned char* data,
                                                            std::size_t size) mutable {
      return dumper.Dump(data, size);
    };
  } else if (!options_.inputMap.empty()) {
    shown = [this](const unsigned char* data, std::size_t size) {
      return options_.inputMap.Apply(data, size);
    };
  }
  keys_.exitKey = options_.exitKey;
  keys_.menuKey = options_.menuKey;
  keys_.outputMap = options_.outputMap;
  keys_.echo = options_.echo ? &output_ : nullptr;

  pump_ = std::make_unique<InputPump>(options_.inputFd, options_.blockSize, queue_, interrupt_,
                                      events_, terminal_ ? &keys_ : nullptr);
  reader_ = std::make_unique<PortReader>(*port_, onNotifications_ ? &window_ : nullptr, kReadWait,
                                         output_, log_, interrupt_, events_, std::move(shown));
  writer_ = std::make_unique<PortWriter>(*port_, queue_, log_, events_);
  if (!readerThread_.Start([this] { reader_->Run(); }) ||
      !writerThread_.Start([this] { writer_->Run(); }) ||
      !pumpThread_.Start([this] { pump_->Run(); })) {
    Say("cannot start the session's threads");
    return Close(1);
  }
  return Close(Supervise());
}

int DuplexSession::Supervise() {
  bool drained = false;    // every input byte is written
  bool finishing = false;  // the reader delivers what is left, then ends
  Clock::time_point drainedAt;
  Clock::time_point nextPresenceCheck = Clock::now() + kPresenceCheck;
  for (;;) {
    Clock::time_point wakeAt = nextPresenceCheck;
    if (options_.progress) wakeAt = std::min(wakeAt, lastProgress_ + kProgressInterval);
    if (pulseEnds_) wakeAt = std::min(wakeAt, *pulseEnds_);
    if (breakEnds_) wakeAt = std::min(wakeAt, *breakEnds_);
    if (drained && !finishing && options_.lingerMs >= 0) {
      const Clock::time_point quietSince = std::max(drainedAt, reader_->lastTraffic());
      wakeAt = std::min(wakeAt, quietSince + milliseconds(options_.lingerMs));
    }
    pollfd watched[2] = {{signals_.fd(), POLLIN, 0}, {events_.fd(), POLLIN, 0}};
    if (poll(watched, 2, MillisecondsUntil(wakeAt)) < 0 && errno != EINTR) {
      Say(std::string("poll: ") + std::strerror(errno));
      return 1;
    }
    if (watched[0].revents != 0) {
      const int signal = signals_.Take();
      if (signal != 0) return 128 + signal;
    }
    for (const SessionEvent& event : events_.Take()) {
      switch (event.kind) {
        case EventKind::kExitKey:
          exitKeyPressed_ = true;
          return 0;
        case EventKind::kInputEnded:
          if (event.error != 0) {
            Say(std::string("reading the input failed: ") + std::strerror(event.error));
            return 1;
          }
          if (terminal_) return 0;  // the keyboard's terminal hung up
          break;                    // the writer reports when it has written the rest
        case EventKind::kWriterDrained:
          drained = true;
          drainedAt = Clock::now();
          break;
        case EventKind::kWriteFailed:
          Say(name_ + ": write failed: " + event.text);
          return 1;
        case EventKind::kReadFailed:
          Say(name_ + ": read failed: " + event.text);
          return 1;
        case EventKind::kKeyCommand:
          RunKeyCommand(static_cast<KeyCommand>(event.error));
          break;
        case EventKind::kOutputFailed:
          Say(std::string(terminal_ ? "the screen" : "standard output") +
              " failed: " + std::strerror(event.error));
          return 1;
        case EventKind::kLogFailed:
          Say("cannot write the session log " + options_.logFile + ": " +
              std::strerror(event.error));
          return 1;
        case EventKind::kReaderFinished:
          return 0;
      }
    }
    const Clock::time_point now = Clock::now();
    if (drained && !finishing && options_.lingerMs >= 0 &&
        now >= std::max(drainedAt, reader_->lastTraffic()) + milliseconds(options_.lingerMs)) {
      // The line has been quiet for the linger time: the reader takes what
      // is still queued and ends.
      finishing = true;
      reader_->Finish();
    }
    if (pulseEnds_ && now >= *pulseEnds_) EndPulse();
    if (breakEnds_ && now >= *breakEnds_) EndBreak();
    if (options_.progress && now >= lastProgress_ + kProgressInterval) ShowProgress(false);
    if (now >= nextPresenceCheck) {
      if (!DeviceStillThere()) {
        Say(name_ + ": port gone (" + presencePath_ + " disappeared)");
        return 1;
      }
      nextPresenceCheck = now + kPresenceCheck;
    }
  }
}

void DuplexSession::RunKeyCommand(KeyCommand command) {
  switch (command) {
    case KeyCommand::kBreak:
      if (breakEnds_) return;  // one break at a time
      if (!kavrel::SetBreak(*port_, true)) {
        Say("cannot send a break: " + LibraryReason());
        return;
      }
      breakEnds_ = Clock::now() + kBreakLength;
      Say("break for " + std::to_string(kBreakLength.count()) + " ms");
      return;
    case KeyCommand::kPulseDtr:
      if (pulseEnds_) return;
      if (!kavrel::SetDtr(*port_, !dtrRaised_)) {
        Say("cannot pulse DTR: " + LibraryReason());
        return;
      }
      pulseEnds_ = Clock::now() + kDtrPulse;
      Say(std::string("DTR ") + (dtrRaised_ ? "off" : "on") + " for " +
          std::to_string(kDtrPulse.count()) + " ms");
      return;
    case KeyCommand::kToggleDtr:
    case KeyCommand::kToggleRts: {
      const bool dtr = command == KeyCommand::kToggleDtr;
      if (dtr && pulseEnds_) EndPulse();
      bool& raised = dtr ? dtrRaised_ : rtsRaised_;
      const char* const line = dtr ? "DTR" : "RTS";
      if (!(dtr ? kavrel::SetDtr : kavrel::SetRts)(*port_, !raised)) {
        Say(std::string("cannot set ") + line + ": " + LibraryReason());
        return;
      }
      raised = !raised;
      Say(std::string(line) + (raised ? " on" : " off"));
      return;
    }
    case KeyCommand::kHelp:
      Say("keys after " + KeyName(options_.menuKey) + ": " + KeyScanner::CommandList() + "; " +
          KeyName(options_.exitKey) + " quits");
      return;
  }
}

void DuplexSession::EndPulse() {
  pulseEnds_.reset();
  if (!kavrel::SetDtr(*port_, dtrRaised_)) Say("cannot set DTR back: " + LibraryReason());
}

void DuplexSession::EndBreak() {
  breakEnds_.reset();
  if (!kavrel::SetBreak(*port_, false)) Say("cannot end the break: " + LibraryReason());
}

void DuplexSession::ShowProgress(bool final) {
  lastProgress_ = Clock::now();
  const double seconds = std::chrono::duration<double>(lastProgress_ - started_).count();
  const auto done = static_cast<double>(writer_->written());
  const double rate = seconds > 0 ? done / seconds : 0.0;
  const std::string line = "\r" +
                           FormatProgress(writer_->written(), options_.inputSize, rate, kBarWidth) +
                           (final ? "\n" : "");
  (void)!write(STDERR_FILENO, line.data(), line.size());
}

int DuplexSession::Close(int exitCode) {
  // A break or a pulse still on ends before anything else: the line is left
  // as the user had it.
  if (breakEnds_) EndBreak();
  if (pulseEnds_) EndPulse();
  interrupt_.Raise();
  // Keys typed before the exit key still go out (the writer gets the same
  // grace as the others); any other end drops what waits.
  if (exitKeyPressed_) {
    queue_.EndInput();
  } else {
    queue_.Stop();
  }
  window_.Stop();
  const Clock::time_point deadline = Clock::now() + kEndGrace;
  // Every thread gets the same deadline; none is left unasked.
  readerThread_.JoinBy(deadline);
  pumpThread_.JoinBy(deadline);
  const bool writerEnded = writerThread_.JoinBy(deadline);

  if (options_.progress && writer_) ShowProgress(true);
  // Ends the listener and closes the capture file. A WriteSerial still
  // waiting for a device that takes nothing (flow stopped, a peer that never
  // reads) is ended by the close, which waits until it has returned; what
  // it had not sent is dropped. (A write time-out would bound every write,
  // but it would discard what a slow line has not taken in time during the
  // session too.)
  port_->CloseSerial();
  readerThread_.Join();
  pumpThread_.Join();
  writerThread_.Join();
  if (!writerEnded) Say(name_ + ": dropped a write the device had not taken");
  kavrel::SetMainWindow(nullptr);
  log_.Close();
  if (keyboard_) {
    keyboard_->Restore();
    keyboard_.reset();
    // The device's last line may have left the cursor anywhere.
    (void)!write(STDERR_FILENO, "\r\n", 2);
    Say("closed " + name_ + ".");
  }
  return exitCode;
}

}  // namespace

int RunDuplex(const DuplexOptions& options) {
  // A reader that goes away is a write error to handle, not a signal that
  // kills the process with the port half-written.
  signal(SIGPIPE, SIG_IGN);
  DuplexSession session(options);
  if (!session.Open()) return 1;
  return session.Run();
}

}  // namespace kavrel_term
