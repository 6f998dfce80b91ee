// Turn-around through a stdin/stdout bridge to a serial port: one byte in,
// one byte back, as a request-reply protocol (XMODEM, Modbus) sees it.
//
// The far end is a pseudo-terminal master that answers every byte at once.
// Each bridge (kavrel-term --pipe with its default listener timing, with
// --settle 1 --poll 1, and socat) runs the same round trip: the bench writes
// one byte to the bridge's standard input and times until one byte comes
// back on its standard output. Two paths without a bridge show what is
// below the bridges: plain write()/read() on the pty, and SerialCtl in this
// process (WriteSerial, the listener's notification, ReadSerial), which is
// the library's own share of kavrel-term's time. All take turns in short
// batches so all see the same machine; medians, 90th and 99th percentiles
// and the ratio to socat are printed.
//
//   kavrel_turnaround [ROUND_TRIPS_PER_BATCH] [BATCHES] [KAVREL_TERM]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kavrel/SerialCtl.h"
#include "kavrel/host.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

#ifndef KAVREL_TERM_PATH
#define KAVREL_TERM_PATH "kavrel-term"
#endif

// The device: a pty master that writes back every byte it reads.
class EchoingDevice {
 public:
  EchoingDevice() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char path[64];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, path, sizeof path) != 0) {
      return;
    }
    termios raw{};
    tcgetattr(master_, &raw);
    cfmakeraw(&raw);
    tcsetattr(master_, TCSANOW, &raw);
    path_ = path;
    stop_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
  }
  ~EchoingDevice() {
    if (thread_.joinable()) {
      const std::uint64_t one = 1;
      (void)!write(stop_, &one, sizeof one);
      thread_.join();
    }
    if (stop_ >= 0) close(stop_);
    if (master_ >= 0) close(master_);
  }
  EchoingDevice(const EchoingDevice&) = delete;
  EchoingDevice& operator=(const EchoingDevice&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  void Run() {
    char buffer[256];
    for (;;) {
      pollfd watched[2] = {{master_, POLLIN, 0}, {stop_, POLLIN, 0}};
      if (poll(watched, 2, -1) < 0) continue;
      if (watched[1].revents != 0) return;
      if (watched[0].revents & POLLIN) {
        const ssize_t got = read(master_, buffer, sizeof buffer);
        if (got > 0) (void)!write(master_, buffer, static_cast<std::size_t>(got));
      } else if (watched[0].revents != 0) {
        // No bridge holds the port side between runs: wait for the next.
        poll(nullptr, 0, 2);
      }
    }
  }

  int master_ = -1;
  int stop_ = -1;
  std::string path_;
  std::thread thread_;
};

// One way to one byte in and one byte back.
class Path {
 public:
  virtual ~Path() = default;
  virtual bool ok() const = 0;
  // The round trip in microseconds, or a negative value when nothing came
  // back within timeoutMs.
  virtual double RoundTrip(int timeoutMs) = 0;
};

// A bridge program with pipes on its standard input and output.
class Bridge : public Path {
 public:
  explicit Bridge(std::vector<std::string> args) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }
  ~Bridge() override {
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  bool ok() const override { return pid_ > 0; }

  double RoundTrip(int timeoutMs) override {
    const char byte = 'k';
    const auto started = Clock::now();
    if (write(in_, &byte, 1) != 1) return -1;
    pollfd ready{out_, POLLIN, 0};
    char back = 0;
    if (poll(&ready, 1, timeoutMs) != 1 || read(out_, &back, 1) != 1) return -1;
    return std::chrono::duration<double, std::micro>(Clock::now() - started).count();
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
};

// The pty's slave opened raw, written and read directly.
class PlainPty : public Path {
 public:
  explicit PlainPty(const std::string& path)
      : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    termios raw{};
    if (fd_ < 0 || tcgetattr(fd_, &raw) != 0) return;
    cfmakeraw(&raw);
    tcsetattr(fd_, TCSANOW, &raw);
  }
  ~PlainPty() override {
    if (fd_ >= 0) close(fd_);
  }
  PlainPty(const PlainPty&) = delete;
  PlainPty& operator=(const PlainPty&) = delete;

  bool ok() const override { return fd_ >= 0; }
  double RoundTrip(int timeoutMs) override {
    const char byte = 'k';
    const auto started = Clock::now();
    if (write(fd_, &byte, 1) != 1) return -1;
    pollfd ready{fd_, POLLIN, 0};
    char back = 0;
    if (poll(&ready, 1, timeoutMs) != 1 || read(fd_, &back, 1) != 1) return -1;
    return std::chrono::duration<double, std::micro>(Clock::now() - started).count();
  }

 private:
  int fd_;
};

// SerialCtl in this process, driven as kavrel-term drives it: WriteSerial,
// then ReadSerial on the listener's notification (settle 0, poll 0).
class InProcess : public Path {
 public:
  explicit InProcess(const std::string& portName) : port_(new SerialCtl), buffer_(kBuffer) {
    port_->SetSerial(portName.c_str(), 115200, 8, 1, "NONE", "");
    port_->OpenSerial();
    if (!port_->IsSerialOpen()) return;
    kavrel::SetMainWindow(&queue_);
    port_->ListenSerial(0, 0);
    open_ = true;
  }
  ~InProcess() override {
    port_->CloseSerial();
    kavrel::SetMainWindow(nullptr);
  }
  InProcess(const InProcess&) = delete;
  InProcess& operator=(const InProcess&) = delete;

  bool ok() const override { return open_; }
  double RoundTrip(int timeoutMs) override {
    const unsigned char byte = 'k';
    const auto started = Clock::now();
    if (port_->WriteSerial(&byte, 1) != 1) return -1;
    const auto end = started + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      kavrel::Message message{};
      if (left.count() <= 0 || !queue_.Wait(message, static_cast<int>(left.count()))) return -1;
      int count = 0;
      port_->ReadSerial(buffer_.data(), count);
      if (count > 0) break;
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - started).count();
  }

 private:
  static constexpr std::size_t kBuffer = SerialCtl::kStagingSize;
  kavrel::MessageQueue queue_;
  std::unique_ptr<SerialCtl> port_;
  std::vector<unsigned char> buffer_;
  bool open_ = false;
};

struct Contender {
  std::string label;
  std::function<std::unique_ptr<Path>()> make;
  std::vector<double> samples;
  bool failed = false;
};

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
  return values[at];
}

}  // namespace

int main(int argc, char** argv) {
  const int perBatch = argc > 1 ? std::atoi(argv[1]) : 500;
  const int batches = argc > 2 ? std::atoi(argv[2]) : 6;
  const std::string kavrelTerm = argc > 3 ? argv[3] : KAVREL_TERM_PATH;
  if (perBatch <= 0 || batches <= 0) {
    std::fprintf(stderr,
                 "usage: kavrel_turnaround [ROUND_TRIPS_PER_BATCH] [BATCHES] [KAVREL_TERM]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);

  EchoingDevice device;
  if (!device.ok()) {
    std::fprintf(stderr, "kavrel_turnaround: cannot create a pseudo-terminal\n");
    return 1;
  }
  const std::string portName = device.path().substr(5);  // "pts/N"

  auto bridge = [](std::vector<std::string> args) {
    return [args]() -> std::unique_ptr<Path> { return std::make_unique<Bridge>(args); };
  };
  std::vector<Contender> contenders = {
      {"socat STDIO PTY", bridge({"socat", "STDIO", device.path() + ",rawer"}), {}, false},
      {"kavrel-term --pipe (settle 0, poll 0)",
       bridge({kavrelTerm, "--pipe", portName}),
       {},
       false},
      {"kavrel-term --pipe --settle 1 --poll 1",
       bridge({kavrelTerm, "--pipe", "--settle", "1", "--poll", "1", portName}),
       {},
       false},
      {"no bridge: plain write/read on the pty",
       [&device]() -> std::unique_ptr<Path> { return std::make_unique<PlainPty>(device.path()); },
       {},
       false},
      {"no bridge: SerialCtl in process (0, 0)",
       [&portName]() -> std::unique_ptr<Path> { return std::make_unique<InProcess>(portName); },
       {},
       false},
  };

  for (int batch = 0; batch < batches; ++batch) {
    for (Contender& contender : contenders) {
      if (contender.failed) continue;
      const std::unique_ptr<Path> path = contender.make();
      // The first round trip also waits for a bridge to open the port.
      if (!path->ok() || path->RoundTrip(10000) < 0) {
        std::fprintf(stderr, "kavrel_turnaround: %s does not answer (is it installed?)\n",
                     contender.label.c_str());
        contender.failed = true;
        continue;
      }
      for (int i = 0; i < perBatch; ++i) {
        const double micros = path->RoundTrip(5000);
        if (micros < 0) {
          std::fprintf(stderr, "kavrel_turnaround: %s lost a byte\n", contender.label.c_str());
          contender.failed = true;
          break;
        }
        contender.samples.push_back(micros);
      }
    }
  }

  const Contender& baseline = contenders[0];
  const double baselineMedian = Percentile(baseline.samples, 0.5);
  std::printf(
      "One byte in, one byte back through a bridge to a pty whose far end answers at once\n");
  std::printf("%d batches of %d round trips each, bridges taking turns\n\n", batches, perBatch);
  std::printf("%-40s %10s %10s %10s %12s\n", "path", "median us", "p90 us", "p99 us",
              "median/socat");
  for (const Contender& contender : contenders) {
    if (contender.samples.empty()) {
      std::printf("%-40s %10s\n", contender.label.c_str(), "failed");
      continue;
    }
    const double median = Percentile(contender.samples, 0.5);
    std::printf("%-40s %10.1f %10.1f %10.1f %12.2f\n", contender.label.c_str(), median,
                Percentile(contender.samples, 0.9), Percentile(contender.samples, 0.99),
                baselineMedian > 0 ? median / baselineMedian : 0.0);
  }
  for (const Contender& contender : contenders) {
    if (contender.failed) return 1;
  }
  return 0;
}
