#include "bench_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "kavrel/SerialCtl.h"

namespace kavrel_bench {

Nanoseconds Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<Nanoseconds>(now.tv_sec) * kSecond + now.tv_nsec;
}

void SleepUntil(Nanoseconds deadline) {
  timespec until{};
  until.tv_sec = static_cast<time_t>(deadline / kSecond);
  until.tv_nsec = static_cast<long>(deadline % kSecond);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

void SleepFor(Nanoseconds duration) { SleepUntil(Now() + duration); }

void Fail(const std::string& what) {
  std::fflush(stdout);
  std::fprintf(stderr, "benchmark failed: %s\n", what.c_str());
  std::fflush(stderr);
  _exit(1);
}

void FailWithErrno(const std::string& what) { Fail(what + ": " + std::strerror(errno)); }

namespace {

void MakeRaw(int fd) {
  termios raw{};
  if (tcgetattr(fd, &raw) != 0) FailWithErrno("tcgetattr");
  cfmakeraw(&raw);
  if (tcsetattr(fd, TCSANOW, &raw) != 0) FailWithErrno("tcsetattr");
}

}  // namespace

Pty::Pty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) FailWithErrno("posix_openpt");
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) FailWithErrno("grantpt/unlockpt");
  char path[64];
  if (ptsname_r(master_, path, sizeof path) != 0) FailWithErrno("ptsname_r");
  MakeRaw(master_);
  name_ = path + std::strlen("/dev/");
}

Pty::~Pty() { CloseMaster(); }

void Pty::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

int OpenSlave(const std::string& name, bool nonBlocking) {
  const std::string path = "/dev/" + name;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | (nonBlocking ? O_NONBLOCK : 0));
  if (fd < 0) FailWithErrno("open " + path);
  MakeRaw(fd);
  return fd;
}

void OpenPort(SerialCtl& port, const std::string& name) {
  port.SetSerial(name.c_str(), 115200, 8, 1, "NONE", "");
  port.OpenSerial();
  if (!port.IsSerialOpen()) Fail("SerialCtl did not open " + name);
}

void RaiseDescriptorLimit(std::size_t needed) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) FailWithErrno("getrlimit");
  if (limit.rlim_cur >= needed) return;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
    Fail("needs " + std::to_string(needed) + " descriptors; the hard limit is " +
         std::to_string(limit.rlim_max));
  }
  limit.rlim_cur = needed;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) FailWithErrno("setrlimit");
}

void WriteExactly(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t written = write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      FailWithErrno("write");
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
}

bool ReadExactly(int fd, void* data, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = read(fd, bytes + done, size - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      FailWithErrno("read");
    }
    if (got == 0) {
      if (done == 0) return false;
      Fail("short read from a pipe");
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

PeerProcess::PeerProcess(const Body& body) {
  int commandPipe[2];
  int reportPipe[2];
  if (pipe2(commandPipe, O_CLOEXEC) != 0) FailWithErrno("pipe2");
  if (pipe2(reportPipe, O_CLOEXEC) != 0) FailWithErrno("pipe2");
  // A peer that died shows as a failed write to it, not as a silent SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  // Whatever stdio holds unwritten would otherwise be written twice.
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) FailWithErrno("fork");
  if (pid_ == 0) {
    close(commandPipe[1]);
    close(reportPipe[0]);
    int status = 3;
    try {
      status = body(commandPipe[0], reportPipe[1]);
    } catch (...) {
      status = 3;
    }
    std::fflush(nullptr);
    _exit(status);
  }
  close(commandPipe[0]);
  close(reportPipe[1]);
  commands_ = commandPipe[1];
  reports_ = reportPipe[0];
}

PeerProcess::~PeerProcess() {
  if (pid_ < 0) return;
  if (commands_ >= 0) close(commands_);
  if (reports_ >= 0) close(reports_);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

void PeerProcess::Finish() {
  close(commands_);
  commands_ = -1;
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) FailWithErrno("waitpid");
  }
  pid_ = -1;
  close(reports_);
  reports_ = -1;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    Fail("the peer process ended with status " + std::to_string(status));
  }
}

Percentiles Summarise(std::vector<Nanoseconds> samples) {
  Percentiles result;
  result.count = samples.size();
  if (samples.empty()) return result;
  std::sort(samples.begin(), samples.end());
  // Nearest rank: the smallest sample at or above the given share.
  const auto rank = [&](double share) {
    const auto index = static_cast<std::size_t>(std::ceil(share * samples.size()));
    return samples[index == 0 ? 0 : index - 1];
  };
  result.p50 = rank(0.50);
  result.p99 = rank(0.99);
  result.max = samples.back();
  return result;
}

double Median(std::vector<double> values) {
  if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double Ratio(double a, double b) {
  return b == 0 ? std::numeric_limits<double>::quiet_NaN() : a / b;
}

double ToMicroseconds(Nanoseconds value) { return static_cast<double>(value) / kMicrosecond; }
double ToMilliseconds(Nanoseconds value) { return static_cast<double>(value) / kMillisecond; }

CpuSnapshot CpuSnapshot::Take() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) FailWithErrno("getrusage");
  const auto toNanoseconds = [](const timeval& value) {
    return static_cast<Nanoseconds>(value.tv_sec) * kSecond + value.tv_usec * kMicrosecond;
  };
  CpuSnapshot snapshot;
  snapshot.wall = Now();
  snapshot.cpu = toNanoseconds(usage.ru_utime) + toNanoseconds(usage.ru_stime);
  snapshot.switches = usage.ru_nvcsw + usage.ru_nivcsw;
  return snapshot;
}

CpuUse CpuBetween(const CpuSnapshot& before, const CpuSnapshot& after) {
  const double wallSeconds = static_cast<double>(after.wall - before.wall) / kSecond;
  CpuUse use;
  use.cpuSeconds = static_cast<double>(after.cpu - before.cpu) / kSecond;
  use.corePercent = 100.0 * use.cpuSeconds / wallSeconds;
  use.switchesPerSecond = static_cast<double>(after.switches - before.switches) / wallSeconds;
  return use;
}

Options ParseOptions(int argc, char** argv, const char* description) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--quick") {
      options.quick = true;
    } else {
      std::printf("usage: %s [--quick]\n%s\n  --quick  a short smoke run; its figures are rough\n",
                  argv[0], description);
      std::exit(argument == "--help" ? 0 : 2);
    }
  }
  return options;
}

MemorySnapshot MemorySnapshot::Take() {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) FailWithErrno("/proc/self/statm");
  unsigned long sizePages = 0;
  unsigned long residentPages = 0;
  const int fields = std::fscanf(statm, "%lu %lu", &sizePages, &residentPages);
  std::fclose(statm);
  if (fields != 2) Fail("cannot parse /proc/self/statm");
  const auto pageSize = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  MemorySnapshot snapshot;
  snapshot.virtualBytes = sizePages * pageSize;
  snapshot.residentBytes = residentPages * pageSize;
  return snapshot;
}

}  // namespace kavrel_bench
