// Many ports: what a host pays to watch N ports that each receive a little.
//
// Every far end (the pty masters, all owned by one peer process) sends a
// 16-byte record every 100 ms, the sends spread evenly over the interval.
// A record holds its port, a sequence number, the CLOCK_MONOTONIC time it
// was sent and a check over all of these, so every byte is checked, a record
// arriving on the wrong port or out of order fails the run, and a missing one
// is counted as lost. The host reads on each notification in one thread:
//   Kavrel  every port a SerialCtl with ListenSerial(1, 1), one MessageQueue
//           as the main window, notifyTag naming the port, ReadSerial on
//           each notification;
//   poll    plain poll() over the N slave descriptors, read() of each ready
//           one;
//   epoll   one epoll set over the N slave descriptors, read() of each ready
//           one.
// Figures, over the sending time: the host process's CPU time (all its
// threads) in % of one core, its context switches per second, the latency of
// each record from its send stamp to the host's read, and the records lost.
//
// Further cases: 256 ports that stay idle, and one busy port (a record every
// millisecond) alone or among 255 idle ones; the ratio of the two busy costs
// shows what idle ports cost a busy one.
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "kavrel/SerialCtl.h"
#include "kavrel/host.h"

namespace {

using namespace kavrel_bench;  // NOLINT(google-build-using-namespace): the benchmark's own helpers

constexpr std::size_t kRecordSize = 16;
// How long the host keeps reading after the peer stopped sending without
// another record arriving before it counts the missing ones as lost.
constexpr Nanoseconds kLostAfter = 5 * kSecond;

struct Record {
  std::uint16_t port;
  std::uint16_t check;
  std::uint32_t sequence;
  std::int64_t sentAt;
};
static_assert(sizeof(Record) == kRecordSize, "a record is 16 bytes on the wire");

std::uint16_t CheckOf(const Record& record) {
  std::uint64_t mixed = static_cast<std::uint64_t>(record.sentAt) * 0x9E3779B97F4A7C15ull;
  mixed ^= (static_cast<std::uint64_t>(record.sequence) << 16) | record.port;
  mixed ^= mixed >> 32;
  mixed ^= mixed >> 16;
  return static_cast<std::uint16_t>(mixed);
}

struct Scenario {
  const char* label;
  int ports;
  int sendingPorts;      // the first sendingPorts of them send
  Nanoseconds interval;  // each sending port sends one record per interval
};

// The far end: waits for the start byte, then sends each sending port's
// records on schedule for the given time, reports how many each port sent,
// and keeps the masters open until the host closes the command pipe.
int SendRecords(const std::vector<int>& masters, const Scenario& scenario, Nanoseconds duration,
                int commands, int reports) {
  char start = 0;
  if (!ReadExactly(commands, &start, 1)) return 0;
  std::vector<std::uint32_t> sent(masters.size(), 0);
  const Nanoseconds begin = Now();
  const Nanoseconds end = begin + duration;
  if (scenario.sendingPorts > 0) {
    const Nanoseconds step = scenario.interval / scenario.sendingPorts;
    for (std::uint64_t send = 0;; ++send) {
      const Nanoseconds due = begin + static_cast<Nanoseconds>(send) * step;
      if (due >= end) break;
      SleepUntil(due);
      const auto port = static_cast<std::size_t>(send % scenario.sendingPorts);
      Record record{static_cast<std::uint16_t>(port), 0, sent[port], Now()};
      record.check = CheckOf(record);
      unsigned char wire[kRecordSize];
      std::memcpy(wire, &record, sizeof wire);
      if (write(masters[port], wire, sizeof wire) != static_cast<ssize_t>(sizeof wire)) {
        FailWithErrno("peer write");
      }
      ++sent[port];
    }
  }
  SleepUntil(end);
  WriteExactly(reports, sent.data(), sent.size() * sizeof sent[0]);
  char ignored = 0;
  while (ReadExactly(commands, &ignored, 1)) {
  }
  return 0;
}

// Reassembles each port's records from what the host reads, checks them and
// keeps their latencies.
class RecordChecker {
 public:
  explicit RecordChecker(int ports) : pending_(ports), pendingSize_(ports), received_(ports) {}

  void Take(int port, const unsigned char* data, std::size_t size, Nanoseconds readAt) {
    auto& pending = pending_[port];
    std::size_t& filled = pendingSize_[port];
    while (size > 0) {
      const std::size_t part = std::min(size, kRecordSize - filled);
      std::memcpy(pending.data() + filled, data, part);
      filled += part;
      data += part;
      size -= part;
      if (filled < kRecordSize) break;
      filled = 0;
      Record record{};
      std::memcpy(&record, pending.data(), kRecordSize);
      if (record.port != port || record.check != CheckOf(record)) {
        Fail("a corrupted record on port " + std::to_string(port));
      }
      // A gap in the sequence is a lost record and shows in the count; a
      // step back is a duplicate or reordering.
      if (record.sequence < received_[port]) {
        Fail("record " + std::to_string(record.sequence) + " on port " + std::to_string(port) +
             " arrived again or out of order");
      }
      received_[port] = record.sequence + 1;
      ++receivedTotal_;
      latencies_.push_back(readAt - record.sentAt);
    }
  }

  std::uint64_t receivedTotal() const { return receivedTotal_; }
  const std::vector<Nanoseconds>& latencies() const { return latencies_; }
  // Sent records that did not arrive, whether skipped or never delivered.
  std::uint64_t Lost(const std::vector<std::uint32_t>& sent) const {
    std::uint64_t lost = 0;
    for (std::size_t port = 0; port < sent.size(); ++port) {
      if (received_[port] > sent[port]) Fail("more records arrived than were sent");
    }
    for (std::uint32_t count : sent) lost += count;
    return lost - receivedTotal_;
  }

 private:
  std::vector<std::array<unsigned char, kRecordSize>> pending_;
  std::vector<std::size_t> pendingSize_;
  std::vector<std::uint32_t> received_;  // the next sequence number expected per port
  std::uint64_t receivedTotal_ = 0;
  std::vector<Nanoseconds> latencies_;
};

// One way of watching the ports. Serve waits up to timeoutMs for ports to
// become readable and hands what it reads to the checker.
class Host {
 public:
  virtual ~Host() = default;
  virtual void Serve(int timeoutMs) = 0;
};

class KavrelHost : public Host {
 public:
  KavrelHost(const std::vector<std::string>& names, RecordChecker& checker)
      : checker_(checker), staging_(SerialCtl::kStagingSize) {
    kavrel::SetMainWindow(&queue_);
    for (std::size_t i = 0; i < names.size(); ++i) {
      // About 400 KiB each: on the heap.
      ports_.push_back(std::make_unique<SerialCtl>());
      OpenPort(*ports_.back(), names[i]);
      ports_.back()->notifyTag = static_cast<kavrel::LONG>(i);
      ports_.back()->ListenSerial(1, 1);
    }
  }
  ~KavrelHost() override {
    for (auto& port : ports_) port->StopListenSerial();
    kavrel::SetMainWindow(nullptr);
    for (auto& port : ports_) port->CloseSerial();
  }

  void Serve(int timeoutMs) override {
    kavrel::Message message{};
    if (!queue_.Wait(message, timeoutMs) || message.message != KAVREL_WM_DATA_READY) return;
    const auto port = static_cast<std::size_t>(message.lParam);
    if (port >= ports_.size()) Fail("a notification with an unknown notifyTag");
    int count = 0;
    ports_[port]->ReadSerial(staging_.data(), count);
    const Nanoseconds readAt = Now();
    checker_.Take(static_cast<int>(port), staging_.data(), static_cast<std::size_t>(count), readAt);
  }

 private:
  RecordChecker& checker_;
  kavrel::MessageQueue queue_;
  std::vector<std::unique_ptr<SerialCtl>> ports_;
  std::vector<unsigned char> staging_;
};

// Reads what one ready descriptor holds.
void ReadReady(int fd, int port, RecordChecker& checker) {
  unsigned char data[4096];
  const ssize_t got = read(fd, data, sizeof data);
  if (got < 0) {
    if (errno == EAGAIN || errno == EINTR) return;
    FailWithErrno("read");
  }
  checker.Take(port, data, static_cast<std::size_t>(got), Now());
}

class PollHost : public Host {
 public:
  PollHost(const std::vector<std::string>& names, RecordChecker& checker) : checker_(checker) {
    for (const std::string& name : names) watched_.push_back({OpenSlave(name, true), POLLIN, 0});
  }
  ~PollHost() override {
    for (const pollfd& watch : watched_) close(watch.fd);
  }

  void Serve(int timeoutMs) override {
    const int ready = poll(watched_.data(), watched_.size(), timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) return;
      FailWithErrno("poll");
    }
    for (std::size_t port = 0; port < watched_.size(); ++port) {
      if ((watched_[port].revents & (POLLHUP | POLLERR)) != 0) Fail("a pty hung up");
      if ((watched_[port].revents & POLLIN) != 0) {
        ReadReady(watched_[port].fd, static_cast<int>(port), checker_);
      }
    }
  }

 private:
  RecordChecker& checker_;
  std::vector<pollfd> watched_;
};

class EpollHost : public Host {
 public:
  EpollHost(const std::vector<std::string>& names, RecordChecker& checker)
      : checker_(checker), epoll_(epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_ < 0) FailWithErrno("epoll_create1");
    for (std::size_t port = 0; port < names.size(); ++port) {
      fds_.push_back(OpenSlave(names[port], true));
      epoll_event interest{};
      interest.events = EPOLLIN;
      interest.data.u32 = static_cast<std::uint32_t>(port);
      if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fds_.back(), &interest) != 0) FailWithErrno("epoll_ctl");
    }
  }
  ~EpollHost() override {
    for (int fd : fds_) close(fd);
    close(epoll_);
  }

  void Serve(int timeoutMs) override {
    epoll_event ready[64];
    const int count = epoll_wait(epoll_, ready, 64, timeoutMs);
    if (count < 0) {
      if (errno == EINTR) return;
      FailWithErrno("epoll_wait");
    }
    for (int i = 0; i < count; ++i) {
      const auto port = static_cast<int>(ready[i].data.u32);
      if ((ready[i].events & (EPOLLHUP | EPOLLERR)) != 0) Fail("a pty hung up");
      ReadReady(fds_[port], port, checker_);
    }
  }

 private:
  RecordChecker& checker_;
  int epoll_;
  std::vector<int> fds_;
};

enum class HostKind { kPoll, kEpoll, kKavrel };
constexpr HostKind kHostKinds[] = {HostKind::kPoll, HostKind::kEpoll, HostKind::kKavrel};

const char* NameOf(HostKind kind) {
  switch (kind) {
    case HostKind::kPoll:
      return "poll";
    case HostKind::kEpoll:
      return "epoll";
    case HostKind::kKavrel:
      return "Kavrel";
  }
  return "";
}

std::unique_ptr<Host> MakeHost(HostKind kind, const std::vector<std::string>& names,
                               RecordChecker& checker) {
  switch (kind) {
    case HostKind::kPoll:
      return std::make_unique<PollHost>(names, checker);
    case HostKind::kEpoll:
      return std::make_unique<EpollHost>(names, checker);
    case HostKind::kKavrel:
      return std::make_unique<KavrelHost>(names, checker);
  }
  return nullptr;
}

struct Outcome {
  CpuUse cpu;
  Percentiles latency;
  std::uint64_t sent = 0;
  std::uint64_t lost = 0;
};

int MillisecondsUntil(Nanoseconds deadline) {
  const Nanoseconds left = deadline - Now();
  if (left <= 0) return 0;
  return static_cast<int>((left + kMillisecond - 1) / kMillisecond);
}

Outcome Run(const Scenario& scenario, HostKind kind, Nanoseconds duration) {
  std::vector<std::unique_ptr<Pty>> ptys;
  std::vector<std::string> names;
  std::vector<int> masters;
  for (int i = 0; i < scenario.ports; ++i) {
    ptys.push_back(std::make_unique<Pty>());
    names.push_back(ptys.back()->name());
    masters.push_back(ptys.back()->master());
  }
  // Forked before the host opens a port: the host has one thread then.
  PeerProcess peer([&](int commands, int reports) {
    return SendRecords(masters, scenario, duration, commands, reports);
  });
  for (auto& pty : ptys) pty->CloseMaster();

  RecordChecker checker(scenario.ports);
  Outcome outcome;
  {
    const std::unique_ptr<Host> host = MakeHost(kind, names, checker);
    // Let the listener threads reach their idle waits before measuring.
    SleepFor(200 * kMillisecond);
    WriteExactly(peer.commands(), "s", 1);
    const CpuSnapshot before = CpuSnapshot::Take();
    const Nanoseconds end = before.wall + duration;
    while (Now() < end) host->Serve(MillisecondsUntil(end));
    const CpuSnapshot after = CpuSnapshot::Take();
    outcome.cpu = CpuBetween(before, after);

    std::vector<std::uint32_t> sent(static_cast<std::size_t>(scenario.ports));
    if (!ReadExactly(peer.reports(), sent.data(), sent.size() * sizeof sent[0])) {
      Fail("the peer ended early");
    }
    for (std::uint32_t count : sent) outcome.sent += count;
    // Late records still count, with their latency; the rest are lost.
    Nanoseconds lastProgress = Now();
    while (checker.receivedTotal() < outcome.sent && Now() - lastProgress < kLostAfter) {
      const std::uint64_t receivedBefore = checker.receivedTotal();
      host->Serve(100);
      if (checker.receivedTotal() != receivedBefore) lastProgress = Now();
    }
    outcome.lost = checker.Lost(sent);
  }
  peer.Finish();
  outcome.latency = Summarise(checker.latencies());
  return outcome;
}

void PrintOutcome(const Scenario& scenario, HostKind kind, const Outcome& outcome) {
  std::printf("%-26s %-7s %7.1f %9.0f %9.2f %9.2f %9.2f %8llu %6llu\n", scenario.label,
              NameOf(kind), outcome.cpu.corePercent, outcome.cpu.switchesPerSecond,
              ToMilliseconds(outcome.latency.p50), ToMilliseconds(outcome.latency.p99),
              ToMilliseconds(outcome.latency.max), static_cast<unsigned long long>(outcome.sent),
              static_cast<unsigned long long>(outcome.lost));
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(
      argc, argv,
      "N ports each receiving 16 bytes every 100 ms, read by one host thread through Kavrel "
      "listeners, plain poll() and epoll: host CPU, context switches, record latency, losses. "
      "Then one busy port alone and among 255 idle ones.");
  const Nanoseconds duration = options.quick ? 300 * kMillisecond : 3 * kSecond;
  constexpr Nanoseconds kRecordInterval = 100 * kMillisecond;
  constexpr Nanoseconds kBusyInterval = 1 * kMillisecond;
  const Scenario scenarios[] = {
      {"1 port", 1, 1, kRecordInterval},
      {"16 ports", 16, 16, kRecordInterval},
      {"64 ports", 64, 64, kRecordInterval},
      {"256 ports", 256, 256, kRecordInterval},
      {"256 idle ports", 256, 0, kRecordInterval},
      {"1 busy port alone", 1, 1, kBusyInterval},
      {"1 busy among 255 idle", 256, 1, kBusyInterval},
  };
  // Per port: the master in the peer, and in the host the slave and what the
  // library or the baseline keeps beside it.
  RaiseDescriptorLimit(4 * 256 + 64);

  std::printf("%.1f s per run; records of 16 bytes, every 100 ms per port (busy: every 1 ms)\n",
              static_cast<double>(duration) / kSecond);
  std::printf("%-26s %-7s %7s %9s %9s %9s %9s %8s %6s\n", "", "host", "CPU %", "cs/s", "p50 ms",
              "p99 ms", "max ms", "records", "lost");
  constexpr std::size_t kScenarios = sizeof scenarios / sizeof scenarios[0];
  Outcome outcomes[kScenarios][3];
  std::uint64_t lostTotal = 0;
  for (std::size_t s = 0; s < kScenarios; ++s) {
    for (std::size_t k = 0; k < 3; ++k) {
      outcomes[s][k] = Run(scenarios[s], kHostKinds[k], duration);
      PrintOutcome(scenarios[s], kHostKinds[k], outcomes[s][k]);
      lostTotal += outcomes[s][k].lost;
    }
  }

  std::printf("\nKavrel / baseline    CPU vs poll  vs epoll   p50 vs poll  p99 vs poll\n");
  for (std::size_t s = 0; s < kScenarios; ++s) {
    const Outcome& poll = outcomes[s][0];
    const Outcome& epoll = outcomes[s][1];
    const Outcome& kavrel = outcomes[s][2];
    std::printf(
        "%-22s %10.2f %9.2f %12.2f %12.2f\n", scenarios[s].label,
        Ratio(kavrel.cpu.corePercent, poll.cpu.corePercent),
        Ratio(kavrel.cpu.corePercent, epoll.cpu.corePercent),
        Ratio(static_cast<double>(kavrel.latency.p50), static_cast<double>(poll.latency.p50)),
        Ratio(static_cast<double>(kavrel.latency.p99), static_cast<double>(poll.latency.p99)));
  }
  constexpr std::size_t kBusyAlone = 5;
  constexpr std::size_t kBusyAmongIdle = 6;
  std::printf("\none busy port: CPU among 255 idle / alone\n");
  for (std::size_t k = 0; k < 3; ++k) {
    std::printf(
        "%-7s %6.2f  (%.3f s / %.3f s of CPU)\n", NameOf(kHostKinds[k]),
        Ratio(outcomes[kBusyAmongIdle][k].cpu.cpuSeconds, outcomes[kBusyAlone][k].cpu.cpuSeconds),
        outcomes[kBusyAmongIdle][k].cpu.cpuSeconds, outcomes[kBusyAlone][k].cpu.cpuSeconds);
  }

  for (std::size_t s = 0; s < 4; ++s) {
    const Outcome& kavrel = outcomes[s][2];
    std::printf(
        "summary: %-9s Kavrel CPU %5.1f%% (poll %5.1f%%, epoll %5.1f%%), %6.0f cs/s, "
        "p99 %7.2f ms (poll %5.2f), max %7.2f ms, lost %llu\n",
        scenarios[s].label, kavrel.cpu.corePercent, outcomes[s][0].cpu.corePercent,
        outcomes[s][1].cpu.corePercent, kavrel.cpu.switchesPerSecond,
        ToMilliseconds(kavrel.latency.p99), ToMilliseconds(outcomes[s][0].latency.p99),
        ToMilliseconds(kavrel.latency.max), static_cast<unsigned long long>(kavrel.lost));
  }
  std::printf("summary: 256 idle    Kavrel CPU %5.1f%% (poll %5.1f%%, epoll %5.1f%%)\n",
              outcomes[4][2].cpu.corePercent, outcomes[4][0].cpu.corePercent,
              outcomes[4][1].cpu.corePercent);
  std::printf(
      "summary: busy port among 255 idle / alone: Kavrel %.2fx (poll %.2fx, epoll %.2fx)\n",
      Ratio(outcomes[kBusyAmongIdle][2].cpu.cpuSeconds, outcomes[kBusyAlone][2].cpu.cpuSeconds),
      Ratio(outcomes[kBusyAmongIdle][0].cpu.cpuSeconds, outcomes[kBusyAlone][0].cpu.cpuSeconds),
      Ratio(outcomes[kBusyAmongIdle][1].cpu.cpuSeconds, outcomes[kBusyAlone][1].cpu.cpuSeconds));
  if (lostTotal != 0) {
    std::printf("records were lost\n");
    return 1;
  }
  return 0;
}
