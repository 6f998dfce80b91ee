// One message loop drives the port: the library's data-ready notification
// and the input pump's messages arrive on the same kavrel::MessageQueue, and
// every SerialCtl operation runs on this thread.
#include "bridge.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "input_pump.h"
#include "port_names.h"
#include "text_format.h"

namespace kavrel_term {

namespace {

using Clock = std::chrono::steady_clock;

// How often the loop looks whether the device node is still there, so an
// unplugged adapter ends the session instead of leaving it silent.
constexpr int kPresenceCheckMs = 500;
constexpr std::size_t kBlockSize = 65536;
constexpr std::size_t kMaxBuffered = 4 * kBlockSize;

// Signals that end a session: taken through a signalfd by the input pump, so
// the terminal is restored and the port closed on the way out.
class QuitSignals {
 public:
  QuitSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGHUP);
    // Blocked before any thread starts (the library's included), so every
    // thread inherits the mask and the signals reach only the signalfd.
    pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    fd_ = signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
  }
  ~QuitSignals() {
    if (fd_ >= 0) close(fd_);
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  QuitSignals(const QuitSignals&) = delete;
  QuitSignals& operator=(const QuitSignals&) = delete;
  int fd() const { return fd_; }

 private:
  sigset_t set_{};
  sigset_t previous_{};
  int fd_ = -1;
};

// The keyboard in raw mode for the length of a session. Output processing
// stays on, so kavrel-term's own lines and a device's bare "\n" still start
// at the left margin.
class RawKeyboard {
 public:
  explicit RawKeyboard(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(fd_, TCSAFLUSH, &raw) == 0;
  }
  ~RawKeyboard() {
    if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  RawKeyboard(const RawKeyboard&) = delete;
  RawKeyboard& operator=(const RawKeyboard&) = delete;
  bool active() const { return active_; }

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

// The port, opened with the library's notification wired to a queue this
// thread drains; closed, with the window unset, on every way out.
class Session {
 public:
  Session() : port_(new SerialCtl), buffer_(SerialCtl::kStagingSize) {}
  ~Session() {
    port_->StopListenSerial();
    port_->CloseSerial();
    kavrel::SetMainWindow(nullptr);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  std::string Open(const LineOptions& options) {
    devicePath_ = DevicePathFor(NormalisePortName(options.port));
    std::string error = OpenPort(*port_, options);
    if (!error.empty()) return error;
    kavrel::SetMainWindow(&queue_);
    // Notify 1 ms after bytes are seen, so a short burst arrives as one
    // delivery; look again every millisecond.
    port_->ListenSerial(1, 1);
    const std::string refused = HostHooks::TakeMessages();
    if (!refused.empty()) return NormalisePortName(options.port) + ": cannot listen: " + refused;
    return std::string();
  }

  kavrel::MessageQueue& queue() { return queue_; }
  SerialCtl& port() { return *port_; }

  // Delivers what the port has queued; 0 when nothing was queued.
  int Read() {
    int count = 0;
    port_->ReadSerial(buffer_.data(), count);
    return count;
  }
  const unsigned char* data() const { return buffer_.data(); }

  bool DeviceStillThere() const {
    struct stat info {};
    return stat(devicePath_.c_str(), &info) == 0;
  }
  const std::string& devicePath() const { return devicePath_; }

 private:
  kavrel::MessageQueue queue_;
  std::unique_ptr<SerialCtl> port_;  // about 400 KiB: kept off the stack
  std::vector<unsigned char> buffer_;
  std::string devicePath_;
};

void PrintError(const std::string& line) { std::fprintf(stderr, "kavrel-term: %s\n", line.c_str()); }

int SignalExitCode(kavrel::WPARAM signal) { return 128 + static_cast<int>(signal); }

}  // namespace

int RunTerminal(const TerminalOptions& options) {
  if (!isatty(STDIN_FILENO)) {
    PrintError("standard input is not a terminal (use --pipe for scripts)");
    return 1;
  }
  QuitSignals signals;
  Session session;
  const std::string error = session.Open(options.line);
  if (!error.empty()) {
    PrintError(error);
    return 1;
  }
  const std::string name = NormalisePortName(options.line.port);

  // Raw before the banner: keys typed once the user sees it go to the port,
  // none are held back by the line editor or flushed by the switch.
  RawKeyboard keyboard(STDIN_FILENO);
  if (!keyboard.active()) {
    PrintError("cannot put the terminal in raw mode: " + std::string(std::strerror(errno)));
    return 1;
  }
  std::fprintf(stderr, "kavrel-term: connected to %s, %s%s. Press Ctrl-] to quit.\n",
               name.c_str(), DescribeLine(options.line).c_str(),
               options.line.capture.empty() ? "" : (", capture " + options.line.capture).c_str());
  InputPump keys(STDIN_FILENO, session.queue(), 256, 4096);
  if (!keys.Start(signals.fd())) {
    PrintError("cannot start the keyboard thread");
    return 1;
  }

  HexDumper dumper;
  int exitCode = 0;
  for (bool running = true; running;) {
    kavrel::Message message{};
    if (!session.queue().Wait(message, kPresenceCheckMs)) {
      if (!session.DeviceStillThere()) {
        PrintError(name + ": port gone (" + session.devicePath() + " disappeared)");
        exitCode = 1;
        running = false;
      }
      continue;
    }
    switch (message.message) {
      case KAVREL_WM_DATA_READY: {
        // A full read may have left more behind: read on until one is short.
        for (int count = static_cast<int>(SerialCtl::kStagingSize);
             running && count == static_cast<int>(SerialCtl::kStagingSize);) {
          count = session.Read();
          if (count <= 0) break;
          const unsigned char* bytes = session.data();
          const std::string shown =
              options.hex ? dumper.Dump(bytes, static_cast<std::size_t>(count))
                          : std::string(reinterpret_cast<const char*>(bytes),
                                        static_cast<std::size_t>(count));
          if (!WriteAllToFd(STDOUT_FILENO, shown.data(), shown.size())) running = false;
        }
        break;
      }
      case kInputMessage: {
        std::vector<unsigned char> typed;
        while (running && keys.Take(typed)) {
          const auto quit = std::find(typed.begin(), typed.end(), kQuitKey);
          const std::size_t length = static_cast<std::size_t>(quit - typed.begin());
          if (length > 0 && session.port().WriteSerial(typed.data(), length) != 1) {
            PrintError(name + ": write failed (the port no longer takes data)");
            exitCode = 1;
            running = false;
          }
          if (quit != typed.end()) running = false;
        }
        break;
      }
      case kInputEndedMessage:
        running = false;
        break;
      case kSignalMessage:
        exitCode = SignalExitCode(message.wParam);
        running = false;
        break;
      default:
        break;
    }
  }
  keys.Stop();
  std::fprintf(stderr, "\r\nkavrel-term: closed %s.\n", name.c_str());
  return exitCode;
}

int RunPipe(const PipeOptions& options) {
  // A reader that goes away is a write error to handle, not a signal that
  // kills the process with the port half-written.
  signal(SIGPIPE, SIG_IGN);
  QuitSignals signals;
  Session session;
  const std::string error = session.Open(options.line);
  if (!error.empty()) {
    PrintError(error);
    return 1;
  }
  const std::string name = NormalisePortName(options.line.port);

  InputPump input(STDIN_FILENO, session.queue(), kBlockSize, kMaxBuffered);
  if (!input.Start(signals.fd())) {
    PrintError("cannot start the input thread");
    return 1;
  }

  // Delivers what the port has queued to standard output: the byte count,
  // or -1 when standard output is gone.
  // A read delivers at most kStagingSize bytes; a full one may have left
  // more behind, so read on until a read comes back short.
  auto deliver = [&session]() -> int {
    int total = 0;
    for (;;) {
      const int count = session.Read();
      if (count > 0 &&
          !WriteAllToFd(STDOUT_FILENO, session.data(), static_cast<std::size_t>(count))) {
        PrintError("standard output closed: " + std::string(std::strerror(errno)));
        return -1;
      }
      total += count;
      if (count < static_cast<int>(SerialCtl::kStagingSize)) return total;
    }
  };

  int exitCode = 0;
  bool inputEnded = false;
  auto lastTraffic = Clock::now();
  for (bool running = true; running;) {
    int waitMs = kPresenceCheckMs;
    if (inputEnded) {
      const auto quietFor =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastTraffic);
      waitMs = std::max(0, options.lingerMs - static_cast<int>(quietFor.count()));
    }
    kavrel::Message message{};
    if (!session.queue().Wait(message, waitMs)) {
      if (inputEnded) {
        // The line has been quiet for the linger time: take what is still
        // queued and finish.
        if (deliver() < 0) exitCode = 1;
        running = false;
      } else if (!session.DeviceStillThere()) {
        PrintError(name + ": port gone (" + session.devicePath() + " disappeared)");
        exitCode = 1;
        running = false;
      }
      continue;
    }
    switch (message.message) {
      case KAVREL_WM_DATA_READY: {
        const int count = deliver();
        if (count < 0) {
          exitCode = 1;
          running = false;
        } else if (count > 0) {
          lastTraffic = Clock::now();
        }
        break;
      }
      case kInputMessage: {
        std::vector<unsigned char> block;
        while (running && input.Take(block)) {
          if (session.port().WriteSerial(block.data(), block.size()) != 1) {
            PrintError(name + ": write failed (the port no longer takes data)");
            exitCode = 1;
            running = false;
          }
        }
        break;
      }
      case kInputEndedMessage:
        // Every block read before the end has been written: its message came
        // first, and WriteSerial returns once the device has taken the bytes.
        if (message.wParam != 0) {
          PrintError("reading standard input failed: " +
                     std::string(std::strerror(static_cast<int>(message.wParam))));
          exitCode = 1;
          running = false;
        }
        inputEnded = true;
        lastTraffic = Clock::now();
        break;
      case kSignalMessage:
        exitCode = SignalExitCode(message.wParam);
        running = false;
        break;
      default:
        break;
    }
  }
  input.Stop();
  return exitCode;
}

}  // namespace kavrel_term
