// Turn-around through a stdin/stdout bridge to a serial port: one byte in,
// one byte back, as a request-reply protocol (XMODEM, Modbus) sees it.
//
// The far end is a pseudo-terminal master that answers every byte at once.
// Each bridge (kavrel-term --pipe by default, reading with the library's
// read wait; kavrel-term --pipe --settle 1 --poll 1, reading on the
// listener's notification; and socat) runs the same round trip: the bench
// writes one byte to the bridge's standard input and times until one byte
// comes back on its standard output. Three paths without a bridge show what
// is below the bridges: plain write()/read() on the pty, and SerialCtl in
// this process reading as kavrel-term reads, which is the library's own
// share of kavrel-term's time. All take turns in short batches so all see
// the same machine; medians, 90th and 99th percentiles and the ratio to
// socat are printed.
//
// Then each bridge's CPU use while the far end floods the port and nobody
// reads the bridge's standard output: the bytes wait unread, and a bridge
// that keeps looking at them spends a core on it.
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
#include "kavrel/port_control.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

#ifndef KAVREL_TERM_PATH
#define KAVREL_TERM_PATH "kavrel-term"
#endif

// A device: a pty master served by a thread of its own until destroyed.
// serve runs there with the master and a descriptor that becomes readable
// when it is to return.
class PtyDevice {
 public:
  PtyDevice(int masterFlags, std::function<void(int master, int stop)> serve) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | masterFlags);
    char path[64];
    termios raw{};
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, path, sizeof path) != 0 || tcgetattr(master_, &raw) != 0) {
      return;
    }
    cfmakeraw(&raw);
    tcsetattr(master_, TCSANOW, &raw);
    path_ = path;
    stop_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this, serve = std::move(serve)] { serve(master_, stop_); });
  }
  ~PtyDevice() {
    if (thread_.joinable()) {
      const std::uint64_t one = 1;
      (void)!write(stop_, &one, sizeof one);
      thread_.join();
    }
    if (stop_ >= 0) close(stop_);
    if (master_ >= 0) close(master_);
  }
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  int master_ = -1;
  int stop_ = -1;
  std::string path_;
  std::thread thread_;
};

// Writes back every byte it reads.
void Echo(int master, int stop) {
  char buffer[256];
  for (;;) {
    pollfd watched[2] = {{master, POLLIN, 0}, {stop, POLLIN, 0}};
    if (poll(watched, 2, -1) < 0) continue;
    if (watched[1].revents != 0) return;
    if (watched[0].revents & POLLIN) {
      const ssize_t got = read(master, buffer, sizeof buffer);
      if (got > 0) (void)!write(master, buffer, static_cast<std::size_t>(got));
    } else if (watched[0].revents != 0) {
      // No bridge holds the port side between runs: wait for the next.
      poll(nullptr, 0, 2);
    }
  }
}

// Writes as fast as the slave side takes bytes (the master is non-blocking).
void Flood(int master, int stop) {
  const std::string block(4096, 'Z');
  for (;;) {
    pollfd watched[2] = {{master, POLLOUT, 0}, {stop, POLLIN, 0}};
    if (poll(watched, 2, -1) < 0) continue;
    if (watched[1].revents != 0) return;
    if ((watched[0].revents & POLLOUT) != 0) {
      (void)!write(master, block.data(), block.size());
    } else {
      poll(nullptr, 0, 2);  // no bridge holds the slave yet
    }
  }
}

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
  pid_t pid() const { return pid_; }

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

// SerialCtl in this process: WriteSerial, then ReadSerial either on the
// listener's notification (settle 0, poll 0) or, with readWaitMs, in a read
// that waits for the first bytes (kavrel-term's default).
class InProcess : public Path {
 public:
  InProcess(const std::string& portName, unsigned readWaitMs)
      : port_(new SerialCtl), buffer_(kBuffer), readWait_(readWaitMs != 0) {
    kavrel::PortTimeouts timeouts;
    timeouts.readWaitMs = readWaitMs;
    kavrel::SetTimeouts(*port_, timeouts);
    port_->SetSerial(portName.c_str(), 115200, 8, 1, "NONE", "");
    port_->OpenSerial();
    if (!port_->IsSerialOpen()) return;
    if (!readWait_) {
      kavrel::SetMainWindow(&queue_);
      port_->ListenSerial(0, 0);
    }
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
    while (readWait_) {
      if (Clock::now() >= end) return -1;
      int count = 0;
      port_->ReadSerial(buffer_.data(), count);
      if (count > 0)
        return std::chrono::duration<double, std::micro>(Clock::now() - started).count();
    }
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
  const bool readWait_;
  bool open_ = false;
};

// The CPU time a process has used so far, in seconds.
double CpuSeconds(pid_t pid) {
  std::FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (stat == nullptr) return -1;
  char text[1024] = {};
  const std::size_t length = std::fread(text, 1, sizeof text - 1, stat);
  std::fclose(stat);
  text[length] = '\0';
  // Fields after the command's closing parenthesis; utime and stime are the
  // 12th and 13th of them.
  const char* fields = std::strrchr(text, ')');
  unsigned long long user = 0;
  unsigned long long system = 0;
  if (fields == nullptr ||
      std::sscanf(fields + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
                  &system) != 2) {
    return -1;
  }
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A bridge's share of a core while the port floods it and its standard
// output is full; negative when it cannot be measured.
double BlockedOutputCpu(const std::function<std::vector<std::string>(const std::string&)>& args) {
  PtyDevice device(O_NONBLOCK, Flood);
  if (!device.ok()) return -1;
  Bridge bridge(args(device.path()));
  if (!bridge.ok()) return -1;
  // Time to open the port and fill the output pipe; then the bytes wait.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double before = CpuSeconds(bridge.pid());
  const auto started = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double after = CpuSeconds(bridge.pid());
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  if (before < 0 || after < 0) return -1;
  return 100.0 * (after - before) / seconds;
}

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

  PtyDevice device(0, Echo);
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
      {"kavrel-term --pipe (read wait)", bridge({kavrelTerm, "--pipe", portName}), {}, false},
      {"kavrel-term --pipe --settle 1 --poll 1",
       bridge({kavrelTerm, "--pipe", "--settle", "1", "--poll", "1", portName}),
       {},
       false},
      {"no bridge: plain write/read on the pty",
       [&device]() -> std::unique_ptr<Path> { return std::make_unique<PlainPty>(device.path()); },
       {},
       false},
      {"no bridge: SerialCtl, read wait",
       [&portName]() -> std::unique_ptr<Path> { return std::make_unique<InProcess>(portName, 50); },
       {},
       false},
      {"no bridge: SerialCtl, listener (0, 0)",
       [&portName]() -> std::unique_ptr<Path> { return std::make_unique<InProcess>(portName, 0); },
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

  std::printf("\nCPU while the port floods the bridge and nobody reads its standard output\n");
  const std::pair<const char*, std::function<std::vector<std::string>(const std::string&)>>
      blocked[] = {
          {"socat STDIO PTY",
           [](const std::string& path) {
             return std::vector<std::string>{"socat", "STDIO", path + ",rawer"};
           }},
          {"kavrel-term --pipe (read wait)",
           [&kavrelTerm](const std::string& path) {
             return std::vector<std::string>{kavrelTerm, "--pipe", path};
           }},
          {"kavrel-term --pipe --settle 1 --poll 1",
           [&kavrelTerm](const std::string& path) {
             return std::vector<std::string>{kavrelTerm, "--pipe", "--settle", "1",
                                             "--poll",   "1",      path};
           }},
      };
  for (const auto& bridge : blocked) {
    const double percent = BlockedOutputCpu(bridge.second);
    if (percent < 0) {
      std::printf("%-40s %10s\n", bridge.first, "failed");
    } else {
      std::printf("%-40s %9.1f%% of a core\n", bridge.first, percent);
    }
  }
  for (const Contender& contender : contenders) {
    if (contender.failed) return 1;
  }
  return 0;
}
