// Throughput through a pty pair: SerialCtl's WriteSerial and ReadSerial
// beside plain write()/read() on the same kind of pair, in the same run.
//
// Each direction moves 64 MiB (first argument, in MiB) in 4 KiB and 64 KiB
// blocks, repeated in alternation (second argument, 5 rounds by default;
// --quick moves 4 MiB once, for a smoke run). The far end of the pair is
// always the pty master, driven with plain read()/write() by a thread of its
// own; only the near end changes between the library and the baseline.
// Prints MiB/s for each and the ratio library/plain.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "kavrel/SerialCtl.h"
#include "kavrel/host.h"

namespace {

using Clock = std::chrono::steady_clock;
using kavrel_bench::OpenPort;
using kavrel_bench::OpenSlave;
using kavrel_bench::Pty;

// The peer: writes total bytes to fd in blocks, or reads them.
void WriteAllTo(int fd, std::size_t total, std::size_t block) {
  std::vector<unsigned char> data(block, 0x5A);
  while (total > 0) {
    const std::size_t n = total < block ? total : block;
    const ssize_t written = write(fd, data.data(), n);
    if (written < 0) {
      if (errno == EINTR) continue;
      std::perror("peer write");
      std::abort();
    }
    total -= static_cast<std::size_t>(written);
  }
}

void ReadAllFrom(int fd, std::size_t total, std::size_t block) {
  std::vector<unsigned char> data(block);
  while (total > 0) {
    const ssize_t got = read(fd, data.data(), block);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      std::perror("peer read");
      std::abort();
    }
    total -= static_cast<std::size_t>(got);
  }
}

double MiBPerSecond(std::size_t bytes, Clock::duration elapsed) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0) /
         std::chrono::duration<double>(elapsed).count();
}

double PlainWrite(std::size_t total, std::size_t block) {
  Pty pty;
  const int slave = OpenSlave(pty.name(), false);
  std::thread peer(ReadAllFrom, pty.master(), total, 65536);
  const auto start = Clock::now();
  WriteAllTo(slave, total, block);
  peer.join();
  const auto elapsed = Clock::now() - start;
  close(slave);
  return MiBPerSecond(total, elapsed);
}

double PlainRead(std::size_t total, std::size_t block) {
  Pty pty;
  const int slave = OpenSlave(pty.name(), false);
  const auto start = Clock::now();
  std::thread peer(WriteAllTo, pty.master(), total, block);
  ReadAllFrom(slave, total, 65536);
  peer.join();
  const auto elapsed = Clock::now() - start;
  close(slave);
  return MiBPerSecond(total, elapsed);
}

double LibraryWrite(std::size_t total, std::size_t block) {
  Pty pty;
  SerialCtl port;
  OpenPort(port, pty.name());
  std::vector<unsigned char> data(block, 0xA5);
  std::thread peer(ReadAllFrom, pty.master(), total, 65536);
  const auto start = Clock::now();
  for (std::size_t left = total; left > 0;) {
    const std::size_t n = left < block ? left : block;
    if (port.WriteSerial(data.data(), n) != 1) std::abort();
    left -= n;
  }
  peer.join();
  const auto elapsed = Clock::now() - start;
  port.CloseSerial();
  return MiBPerSecond(total, elapsed);
}

// The host loop a real program runs: read while bytes are queued, otherwise
// wait for the listener's notification.
double LibraryRead(std::size_t total, std::size_t block) {
  Pty pty;
  SerialCtl port;
  OpenPort(port, pty.name());
  kavrel::MessageQueue window;
  kavrel::SetMainWindow(&window);
  port.ListenSerial(0, 1);
  std::vector<unsigned char> data(SerialCtl::kStagingSize);
  const auto start = Clock::now();
  std::thread peer(WriteAllTo, pty.master(), total, block);
  for (std::size_t left = total; left > 0;) {
    int count = 0;
    port.ReadSerial(data.data(), count);
    if (count > 0) {
      left -= static_cast<std::size_t>(count);
      continue;
    }
    kavrel::Message message{};
    window.Wait(message, 100);
  }
  peer.join();
  const auto elapsed = Clock::now() - start;
  port.StopListenSerial();
  kavrel::SetMainWindow(nullptr);
  port.CloseSerial();
  return MiBPerSecond(total, elapsed);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Comparison {
  const char* label;
  std::size_t block;
  double libraryRate;
  double plainRate;
};

// Runs the plain and the library transfer in alternation, several rounds,
// so that both see the same machine; reports the medians.
Comparison Compare(const char* label, double (*plain)(std::size_t, std::size_t),
                   double (*library)(std::size_t, std::size_t), std::size_t total,
                   std::size_t block, int rounds) {
  std::vector<double> plainRates;
  std::vector<double> libraryRates;
  for (int round = 0; round < rounds; ++round) {
    plainRates.push_back(plain(total, block));
    libraryRates.push_back(library(total, block));
  }
  const Comparison result{label, block, Median(libraryRates), Median(plainRates)};
  std::printf("%-5s %3zu KiB  %14.1f %12.1f %8.3f\n", label, block / 1024, result.libraryRate,
              result.plainRate, result.libraryRate / result.plainRate);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  kavrel::SetTraceHandler([](const char*) {});
  // --quick: a smoke run, 4 MiB each way once.
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const std::size_t mebibytes = quick ? 4 : argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  const int rounds = quick ? 1 : argc > 2 ? std::atoi(argv[2]) : 5;
  if (mebibytes == 0 || rounds <= 0) {
    std::printf("usage: %s [MiB [rounds]] | --quick\n", argv[0]);
    return 2;
  }
  const std::size_t total = mebibytes << 20;
  std::printf("%zu MiB each way, median of %d rounds\n", mebibytes, rounds);
  std::printf("%-15s %14s %12s %8s\n", "", "Kavrel MiB/s", "plain MiB/s", "ratio");
  std::vector<Comparison> comparisons;
  for (std::size_t block : {std::size_t{4096}, std::size_t{65536}}) {
    comparisons.push_back(Compare("write", PlainWrite, LibraryWrite, total, block, rounds));
    comparisons.push_back(Compare("read", PlainRead, LibraryRead, total, block, rounds));
  }
  for (const Comparison& comparison : comparisons) {
    std::printf("summary: throughput %-5s %2zu KiB blocks %7.1f MiB/s (%5.2fx plain)\n",
                comparison.label, comparison.block / 1024, comparison.libraryRate,
                comparison.libraryRate / comparison.plainRate);
  }
  return 0;
}
