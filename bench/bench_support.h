// What the benchmarks share: pty pairs, a far end running in a process of
// its own, pipes between the two, clocks, CPU accounting and percentiles.
//
// The far end of every pair is the pty master, owned by a forked peer
// process, so its work never shares the host's threads or shows up in the
// host's CPU figures. The host end is the slave, opened either by SerialCtl
// or by the plain baseline. Both processes read CLOCK_MONOTONIC, so a time
// stamped by the peer can be compared with one taken by the host.
#ifndef KAVREL_BENCH_BENCH_SUPPORT_H
#define KAVREL_BENCH_BENCH_SUPPORT_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class SerialCtl;

namespace kavrel_bench {

using Nanoseconds = std::int64_t;
constexpr Nanoseconds kMicrosecond = 1000;
constexpr Nanoseconds kMillisecond = 1000 * kMicrosecond;
constexpr Nanoseconds kSecond = 1000 * kMillisecond;

// CLOCK_MONOTONIC: the same clock in the host and in the peer process.
Nanoseconds Now();
void SleepUntil(Nanoseconds deadline);
void SleepFor(Nanoseconds duration);

// A benchmark that cannot measure what it set out to (a corrupted or lost
// byte, a pty that cannot be opened) says why and exits with status 1 from
// whichever process it runs in, without running the library's or the
// program's exit-time destructors under threads that still run.
[[noreturn]] void Fail(const std::string& what);
// As Fail, with strerror(errno) appended.
[[noreturn]] void FailWithErrno(const std::string& what);

// A pty pair in raw mode. The master is the far end; name is the slave's
// name as SerialCtl takes it ("pts/N").
class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int master() const { return master_; }
  const std::string& name() const { return name_; }
  // The host closes its copy once the peer process holds the master.
  void CloseMaster();

 private:
  int master_ = -1;
  std::string name_;
};

// Opens the slave of a pair the way a plain program would: raw mode,
// blocking unless nonBlocking.
int OpenSlave(const std::string& name, bool nonBlocking);

// Configures and opens port on the named slave, 115200 8N1. Fails the
// benchmark when the port does not open.
void OpenPort(SerialCtl& port, const std::string& name);

// Raises the soft limit on open descriptors to at least needed (up to the
// hard limit); fails when the hard limit is lower.
void RaiseDescriptorLimit(std::size_t needed);

// Writes or reads exactly size bytes, retrying after signals. ReadExactly
// returns false at end of file before the first byte and fails on a short
// read.
void WriteExactly(int fd, const void* data, std::size_t size);
bool ReadExactly(int fd, void* data, std::size_t size);

// A forked process running body(commandFd, reportFd) and exiting with its
// result. The host writes commands and reads reports through two pipes;
// closing the command pipe tells the peer to finish. Fork it before the
// host opens any port, so that the fork copies a process with one thread.
class PeerProcess {
 public:
  using Body = std::function<int(int commandFd, int reportFd)>;
  explicit PeerProcess(const Body& body);
  // Ends the peer as Finish does, when the host has not done so.
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  int commands() const { return commands_; }
  int reports() const { return reports_; }
  // Closes the command pipe, waits for the peer to exit and fails the
  // benchmark unless it exited with status 0.
  void Finish();

 private:
  pid_t pid_ = -1;
  int commands_ = -1;
  int reports_ = -1;
};

// Nearest-rank percentiles of a set of durations.
struct Percentiles {
  Nanoseconds p50 = 0;
  Nanoseconds p99 = 0;
  Nanoseconds max = 0;
  std::size_t count = 0;
};
Percentiles Summarise(std::vector<Nanoseconds> samples);

double Median(std::vector<double> values);
// a / b, or NaN (printed as "nan") when b is zero.
double Ratio(double a, double b);
double ToMicroseconds(Nanoseconds value);
double ToMilliseconds(Nanoseconds value);

// The whole process's CPU time (every thread, user and system) and context
// switches (voluntary and involuntary) at one moment.
struct CpuSnapshot {
  Nanoseconds wall = 0;
  Nanoseconds cpu = 0;
  long switches = 0;
  static CpuSnapshot Take();
};
struct CpuUse {
  double corePercent = 0;  // CPU time over wall time, in % of one core
  double cpuSeconds = 0;
  double switchesPerSecond = 0;
};
CpuUse CpuBetween(const CpuSnapshot& before, const CpuSnapshot& after);

// The options every benchmark takes: --quick for a short smoke run.
struct Options {
  bool quick = false;
};
// Parses --quick and --help; anything else prints usage and exits with 2.
Options ParseOptions(int argc, char** argv, const char* description);

// This process's address space and resident memory, from /proc/self/statm.
struct MemorySnapshot {
  std::size_t virtualBytes = 0;
  std::size_t residentBytes = 0;
  static MemorySnapshot Take();
};

}  // namespace kavrel_bench

#endif  // KAVREL_BENCH_BENCH_SUPPORT_H
