// Notification latency: the far end writes one byte; how long until the host
// knows it is there.
//
// The peer process stamps CLOCK_MONOTONIC and writes one byte to the pty
// master; the host stamps the moment it learns of the byte:
//   plain         poll() on the slave returns (then read() takes the byte);
//   listen(0, 0)  MessageQueue::Wait returns KAVREL_WM_DATA_READY from
//                 ListenSerial(0, 0) (then ReadSerial takes the byte);
//   listen(1, 1)  the same with ListenSerial(1, 1): one millisecond of settle
//                 delay is part of what the host asked for;
//   ReadSerial    a loop calling ReadSerial with no listener returns the byte.
//                 It polls, giving way between calls, so it shows the
//                 driver's receive path alone, without the listener's
//                 hand-offs.
// Every byte is checked. Samples are a few milliseconds apart, so each starts
// with an idle port; the modes run in alternating rounds so that all see the
// same machine. Prints p50, p99 and max, and each mode's ratio to plain.
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "kavrel/SerialCtl.h"
#include "kavrel/host.h"

namespace {

using namespace kavrel_bench;  // NOLINT(google-build-using-namespace): the benchmark's own helpers

// Longest wait for one byte before the run counts it as lost.
constexpr int kLostAfterMs = 5000;
// The pause before each sample: long enough for the listener to finish the
// cycle that reported the previous byte, so every sample starts idle.
constexpr Nanoseconds kGapBetweenSamples = 3 * kMillisecond;

// The far end: for each byte the host sends on the command pipe, stamp the
// time, write the byte to the master and report the stamp.
int StampAndSend(int master, int commands, int reports) {
  unsigned char value = 0;
  while (ReadExactly(commands, &value, 1)) {
    const Nanoseconds sent = Now();
    if (write(master, &value, 1) != 1) FailWithErrno("peer write");
    WriteExactly(reports, &sent, sizeof sent);
  }
  return 0;
}

// One way of learning of a byte. Before each sample Settle() lets the
// previous one's aftermath pass; AwaitByte() returns the time the host
// learned of the byte, after checking it.
class Receiver {
 public:
  virtual ~Receiver() = default;
  virtual void Settle() { SleepFor(kGapBetweenSamples); }
  virtual Nanoseconds AwaitByte(unsigned char expected) = 0;
};

void CheckByte(int count, unsigned char got, unsigned char expected) {
  if (count != 1 || got != expected) {
    Fail("received " + std::to_string(count) + " byte(s), first " + std::to_string(got) +
         ", expected the one byte " + std::to_string(expected));
  }
}

class PlainPollReceiver : public Receiver {
 public:
  explicit PlainPollReceiver(const std::string& name) : fd_(OpenSlave(name, false)) {}
  ~PlainPollReceiver() override { close(fd_); }

  Nanoseconds AwaitByte(unsigned char expected) override {
    pollfd watch{fd_, POLLIN, 0};
    const int ready = poll(&watch, 1, kLostAfterMs);
    if (ready < 0) FailWithErrno("poll");
    if (ready == 0) Fail("plain: no byte within 5 s");
    const Nanoseconds seen = Now();
    unsigned char data[16];
    const ssize_t got = read(fd_, data, sizeof data);
    if (got < 0) FailWithErrno("read");
    CheckByte(static_cast<int>(got), data[0], expected);
    return seen;
  }

 private:
  int fd_;
};

class ListenerReceiver : public Receiver {
 public:
  ListenerReceiver(const std::string& name, long settleDelayMs, long pollIntervalMs)
      : port_(std::make_unique<SerialCtl>()), staging_(SerialCtl::kStagingSize) {
    OpenPort(*port_, name);
    kavrel::SetMainWindow(&queue_);
    port_->ListenSerial(settleDelayMs, pollIntervalMs);
  }
  ~ListenerReceiver() override {
    port_->StopListenSerial();
    kavrel::SetMainWindow(nullptr);
    port_->CloseSerial();
  }

  void Settle() override {
    Receiver::Settle();
    // Drop notifications of bytes already read.
    kavrel::Message stale{};
    while (queue_.Wait(stale, 0)) {
    }
  }

  Nanoseconds AwaitByte(unsigned char expected) override {
    for (;;) {
      kavrel::Message message{};
      if (!queue_.Wait(message, kLostAfterMs)) Fail("listener: no notification within 5 s");
      const Nanoseconds seen = Now();
      if (message.message != KAVREL_WM_DATA_READY) continue;
      int count = 0;
      port_->ReadSerial(staging_.data(), count);
      // A notification that raced the previous sample's read finds nothing.
      if (count == 0) continue;
      CheckByte(count, staging_[0], expected);
      return seen;
    }
  }

 private:
  std::unique_ptr<SerialCtl> port_;
  kavrel::MessageQueue queue_;
  std::vector<unsigned char> staging_;
};

class ReadLoopReceiver : public Receiver {
 public:
  explicit ReadLoopReceiver(const std::string& name)
      : port_(std::make_unique<SerialCtl>()), staging_(SerialCtl::kStagingSize) {
    OpenPort(*port_, name);
  }
  ~ReadLoopReceiver() override { port_->CloseSerial(); }

  Nanoseconds AwaitByte(unsigned char expected) override {
    const Nanoseconds giveUp = Now() + kLostAfterMs * kMillisecond;
    for (;;) {
      int count = 0;
      port_->ReadSerial(staging_.data(), count);
      const Nanoseconds seen = Now();
      if (count > 0) {
        CheckByte(count, staging_[0], expected);
        return seen;
      }
      if (seen > giveUp) Fail("ReadSerial loop: no byte within 5 s");
      // Gives way between calls, so the loop never keeps the I/O thread
      // from the processor it is woken on.
      sched_yield();
    }
  }

 private:
  std::unique_ptr<SerialCtl> port_;
  std::vector<unsigned char> staging_;
};

enum class Mode { kPlain, kListen00, kListen11, kReadLoop };

struct ModeRun {
  Mode mode;
  const char* label;
  std::vector<Nanoseconds> samples;
};

std::unique_ptr<Receiver> MakeReceiver(Mode mode, const std::string& name) {
  switch (mode) {
    case Mode::kPlain:
      return std::make_unique<PlainPollReceiver>(name);
    case Mode::kListen00:
      return std::make_unique<ListenerReceiver>(name, 0, 0);
    case Mode::kListen11:
      return std::make_unique<ListenerReceiver>(name, 1, 1);
    case Mode::kReadLoop:
      return std::make_unique<ReadLoopReceiver>(name);
  }
  return nullptr;
}

// Takes count samples in one mode on a fresh pair and peer.
void Sample(ModeRun& run, int count, unsigned& nextValue) {
  Pty pty;
  // Forked before the host opens the port: the host has one thread then.
  PeerProcess peer(
      [&pty](int commands, int reports) { return StampAndSend(pty.master(), commands, reports); });
  pty.CloseMaster();
  {
    const std::unique_ptr<Receiver> receiver = MakeReceiver(run.mode, pty.name());
    for (int i = 0; i < count; ++i) {
      receiver->Settle();
      // Every byte value in turn, so a stale or repeated byte shows.
      const auto value = static_cast<unsigned char>(nextValue++);
      WriteExactly(peer.commands(), &value, 1);
      const Nanoseconds seen = receiver->AwaitByte(value);
      Nanoseconds sent = 0;
      if (!ReadExactly(peer.reports(), &sent, sizeof sent)) Fail("the peer ended early");
      run.samples.push_back(seen - sent);
    }
  }
  peer.Finish();
}

}  // namespace

int main(int argc, char** argv) {
  const Options options =
      ParseOptions(argc, argv,
                   "Time from the far end writing one byte to the host learning of it: "
                   "ListenSerial(0, 0) and (1, 1) notifications and a ReadSerial loop, "
                   "beside plain poll()+read().");
  const int rounds = options.quick ? 1 : 4;
  const int samplesPerRound = options.quick ? 50 : 250;

  std::vector<ModeRun> runs = {{Mode::kPlain, "plain poll+read", {}},
                               {Mode::kListen00, "ListenSerial(0, 0)", {}},
                               {Mode::kListen11, "ListenSerial(1, 1)", {}},
                               {Mode::kReadLoop, "ReadSerial loop", {}}};
  unsigned nextValue = 0;
  for (int round = 0; round < rounds; ++round) {
    for (ModeRun& run : runs) Sample(run, samplesPerRound, nextValue);
  }

  const Percentiles plain = Summarise(runs[0].samples);
  std::printf("notification latency, 1 byte, %zu samples per mode (microseconds)\n", plain.count);
  std::printf("%-20s %9s %9s %9s   %8s %8s %8s\n", "", "p50", "p99", "max", "p50 x", "p99 x",
              "max x");
  for (const ModeRun& run : runs) {
    const Percentiles figures = Summarise(run.samples);
    std::printf("%-20s %9.1f %9.1f %9.1f   %8.2f %8.2f %8.2f\n", run.label,
                ToMicroseconds(figures.p50), ToMicroseconds(figures.p99),
                ToMicroseconds(figures.max), Ratio(figures.p50, plain.p50),
                Ratio(figures.p99, plain.p99), Ratio(figures.max, plain.max));
  }
  for (const ModeRun& run : runs) {
    if (run.mode == Mode::kPlain) continue;
    const Percentiles figures = Summarise(run.samples);
    std::printf("summary: latency %-18s p50 %7.1f us (%5.2fx plain)  p99 %7.1f us (%5.2fx plain)\n",
                run.label, ToMicroseconds(figures.p50), Ratio(figures.p50, plain.p50),
                ToMicroseconds(figures.p99), Ratio(figures.p99, plain.p99));
  }
  return 0;
}
