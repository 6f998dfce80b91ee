// Small writes: how many 16-byte blocks a second the host sends through a pty
// pair with WriteSerial, without and with a listener running, beside plain
// blocking write() of 16 bytes on the slave, beside write() on a non-blocking
// slave that polls for room when it is full, and beside the same while
// another thread waits in epoll for input on the descriptor (where a library
// whose I/O thread watches the line starts from).
//
// The peer process drains the master and checks every byte against the
// stream the host sends (byte k of the stream is k mod 251, so no two
// consecutive blocks look alike). When the host has written for the set time
// it tells the peer how many bytes to expect; the peer reads them all and
// reports how many it got and how many were wrong. The five modes run in
// alternating rounds; the medians and the ratios to plain are printed.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "kavrel/SerialCtl.h"
#include "kavrel/host.h"

namespace {

using namespace kavrel_bench;  // NOLINT(google-build-using-namespace): the benchmark's own helpers

constexpr std::size_t kBlock = 16;
constexpr std::size_t kPatternPeriod = 251;

unsigned char PatternByte(std::uint64_t offset) {
  return static_cast<unsigned char>(offset % kPatternPeriod);
}

// The stream twice over, so that any block starts at pattern + offset % 251.
std::vector<unsigned char> MakePattern() {
  std::vector<unsigned char> pattern(kPatternPeriod + kBlock);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = PatternByte(i);
  return pattern;
}

struct PeerReport {
  std::uint64_t received = 0;
  std::uint64_t wrong = 0;
};

// The far end: reads the master and checks each byte until the host has
// said how many it sent and that many have arrived.
int DrainAndCheck(int master, int commands, int reports) {
  std::vector<unsigned char> data(65536);
  PeerReport report;
  std::uint64_t expected = 0;
  bool expectedKnown = false;
  while (!expectedKnown || report.received < expected) {
    pollfd watch[2] = {{master, POLLIN, 0},
                       {commands, expectedKnown ? short{0} : short{POLLIN}, 0}};
    if (poll(watch, 2, -1) < 0) {
      if (errno == EINTR) continue;
      FailWithErrno("peer poll");
    }
    if (!expectedKnown && (watch[1].revents & (POLLIN | POLLHUP)) != 0) {
      if (!ReadExactly(commands, &expected, sizeof expected)) Fail("the host ended early");
      expectedKnown = true;
    }
    if ((watch[0].revents & POLLIN) != 0) {
      const ssize_t got = read(master, data.data(), data.size());
      if (got < 0) {
        if (errno == EINTR) continue;
        FailWithErrno("peer read");
      }
      for (ssize_t i = 0; i < got; ++i) {
        if (data[static_cast<std::size_t>(i)] != PatternByte(report.received)) ++report.wrong;
        ++report.received;
      }
    } else if ((watch[0].revents & (POLLHUP | POLLERR)) != 0) {
      Fail("the host's end of the pair closed before every byte arrived");
    }
  }
  WriteExactly(reports, &report, sizeof report);
  return 0;
}

// One way of sending a 16-byte block.
class Sender {
 public:
  virtual ~Sender() = default;
  virtual void Send(const unsigned char* block) = 0;
};

class PlainSender : public Sender {
 public:
  explicit PlainSender(const std::string& name) : fd_(OpenSlave(name, false)) {}
  ~PlainSender() override { close(fd_); }
  void Send(const unsigned char* block) override { WriteExactly(fd_, block, kBlock); }

 private:
  int fd_;
};

// write() on a non-blocking slave, and poll() for room when it is full.
class NonBlockingSender : public Sender {
 public:
  explicit NonBlockingSender(const std::string& name) : fd_(OpenSlave(name, true)) {}
  ~NonBlockingSender() override { close(fd_); }
  void Send(const unsigned char* block) override {
    std::size_t done = 0;
    while (done < kBlock) {
      const ssize_t written = write(fd_, block + done, kBlock - done);
      if (written >= 0) {
        done += static_cast<std::size_t>(written);
      } else if (errno == EAGAIN) {
        pollfd room = {fd_, POLLOUT, 0};
        if (poll(&room, 1, -1) < 0 && errno != EINTR) FailWithErrno("poll for room");
      } else if (errno != EINTR) {
        FailWithErrno("non-blocking write");
      }
    }
  }

 protected:
  int fd() const { return fd_; }

 private:
  int fd_;
};

// As NonBlockingSender, while a second thread waits in epoll for input on
// the same descriptor, as a library's I/O thread does. The watcher never
// wakes while the host writes, yet the watch costs each write something:
// this mode measures how much.
class WatchedSender : public NonBlockingSender {
 public:
  explicit WatchedSender(const std::string& name)
      : NonBlockingSender(name),
        epoll_(epoll_create1(EPOLL_CLOEXEC)),
        stop_(eventfd(0, EFD_CLOEXEC)) {
    if (epoll_ < 0 || stop_ < 0) FailWithErrno("watcher set-up");
    Watch(fd(), EPOLLIN);
    Watch(stop_, EPOLLIN);
    watcher_ = std::thread([this] {
      epoll_event ready{};
      while (epoll_wait(epoll_, &ready, 1, -1) < 0 && errno == EINTR) {
      }
    });
  }
  ~WatchedSender() override {
    const std::uint64_t one = 1;
    WriteExactly(stop_, &one, sizeof one);
    watcher_.join();
    close(stop_);
    close(epoll_);
  }

 private:
  void Watch(int target, std::uint32_t events) {
    epoll_event interest{};
    interest.events = events;
    interest.data.fd = target;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, target, &interest) != 0) FailWithErrno("epoll_ctl");
  }

  int epoll_;
  int stop_;
  std::thread watcher_;
};

class WriteSerialSender : public Sender {
 public:
  WriteSerialSender(const std::string& name, bool withListener)
      : port_(std::make_unique<SerialCtl>()), withListener_(withListener) {
    OpenPort(*port_, name);
    if (withListener_) {
      kavrel::SetMainWindow(&queue_);
      port_->ListenSerial(0, 0);
    }
  }
  ~WriteSerialSender() override {
    if (withListener_) {
      port_->StopListenSerial();
      kavrel::SetMainWindow(nullptr);
    }
    port_->CloseSerial();
  }
  void Send(const unsigned char* block) override {
    if (port_->WriteSerial(block, kBlock) != 1) Fail("WriteSerial reported a failed write");
  }

 private:
  std::unique_ptr<SerialCtl> port_;
  bool withListener_;
  // Receives nothing here (the peer only reads), but the listener runs as
  // it would in a host.
  kavrel::MessageQueue queue_;
};

enum class Mode { kPlain, kNonBlocking, kWatched, kWriteSerial, kWriteSerialListening };

struct ModeRun {
  Mode mode;
  const char* label;
  std::vector<double> callsPerSecond;
};

std::unique_ptr<Sender> MakeSender(Mode mode, const std::string& name) {
  switch (mode) {
    case Mode::kPlain:
      return std::make_unique<PlainSender>(name);
    case Mode::kNonBlocking:
      return std::make_unique<NonBlockingSender>(name);
    case Mode::kWatched:
      return std::make_unique<WatchedSender>(name);
    case Mode::kWriteSerial:
      return std::make_unique<WriteSerialSender>(name, false);
    case Mode::kWriteSerialListening:
      return std::make_unique<WriteSerialSender>(name, true);
  }
  return nullptr;
}

// Sends blocks for the given time on a fresh pair and peer; returns calls/s.
double Measure(Mode mode, Nanoseconds duration, const std::vector<unsigned char>& pattern) {
  Pty pty;
  PeerProcess peer(
      [&pty](int commands, int reports) { return DrainAndCheck(pty.master(), commands, reports); });
  pty.CloseMaster();
  const std::unique_ptr<Sender> sender = MakeSender(mode, pty.name());

  std::uint64_t sent = 0;
  const Nanoseconds start = Now();
  const Nanoseconds end = start + duration;
  Nanoseconds now = start;
  while (now < end) {
    // The clock is read every 64 calls; a call takes microseconds.
    for (int i = 0; i < 64; ++i) {
      sender->Send(pattern.data() + sent % kPatternPeriod);
      sent += kBlock;
    }
    now = Now();
  }
  const double seconds = static_cast<double>(now - start) / kSecond;

  WriteExactly(peer.commands(), &sent, sizeof sent);
  PeerReport report;
  if (!ReadExactly(peer.reports(), &report, sizeof report)) Fail("the peer ended early");
  if (report.received != sent || report.wrong != 0) {
    Fail("the peer received " + std::to_string(report.received) + " of " + std::to_string(sent) +
         " bytes, " + std::to_string(report.wrong) + " wrong");
  }
  peer.Finish();
  return static_cast<double>(sent / kBlock) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options =
      ParseOptions(argc, argv,
                   "16-byte WriteSerial calls per second, without and with a listener running, "
                   "beside plain write() of 16 bytes: blocking, non-blocking, and non-blocking "
                   "while another thread waits in epoll on the descriptor.");
  const int rounds = options.quick ? 1 : 3;
  const Nanoseconds duration = options.quick ? 200 * kMillisecond : 1 * kSecond;
  const std::vector<unsigned char> pattern = MakePattern();

  std::vector<ModeRun> runs = {{Mode::kPlain, "plain write()", {}},
                               {Mode::kNonBlocking, "non-blocking write()", {}},
                               {Mode::kWatched, "watched write()", {}},
                               {Mode::kWriteSerial, "WriteSerial", {}},
                               {Mode::kWriteSerialListening, "WriteSerial + listener", {}}};
  for (int round = 0; round < rounds; ++round) {
    for (ModeRun& run : runs) run.callsPerSecond.push_back(Measure(run.mode, duration, pattern));
  }

  const double plain = Median(runs[0].callsPerSecond);
  std::printf("16-byte writes, %.1f s per run, median of %d rounds\n",
              static_cast<double>(duration) / kSecond, rounds);
  std::printf("%-24s %12s %8s\n", "", "calls/s", "ratio");
  for (const ModeRun& run : runs) {
    const double rate = Median(run.callsPerSecond);
    std::printf("%-24s %12.0f %8.3f\n", run.label, rate, Ratio(rate, plain));
  }
  for (const ModeRun& run : runs) {
    if (run.mode == Mode::kPlain) continue;
    const double rate = Median(run.callsPerSecond);
    std::printf("summary: 16-byte %-24s %9.0f calls/s (%5.2fx plain write())\n", run.label, rate,
                Ratio(rate, plain));
  }
  return 0;
}
