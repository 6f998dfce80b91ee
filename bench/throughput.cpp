// Throughput through a pty pair: SerialCtl's WriteSerial and ReadSerial
// beside plain write()/read() on the same kind of pair, in the same run.
//
// Each direction moves 64 MiB (first argument, in MiB) in 4 KiB and 64 KiB
// blocks, repeated in alternation (second argument, 5 rounds by default). The far end of the pair is always the pty master,
// driven with plain read()/write() by a thread of its own; only the near end
// changes between the library and the baseline. Prints MiB/s for each and the
// ratio library/plain.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kavrel/SerialCtl.h"
#include "kavrel/host.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Pty {
  int master = -1;
  std::string name;  // "pts/N"

  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) std::abort();
    char path[64];
    if (ptsname_r(master, path, sizeof path) != 0) std::abort();
    termios raw{};
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    name = path + 5;
  }
  ~Pty() { close(master); }
};

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

int OpenSlaveRaw(const Pty& pty) {
  const std::string path = "/dev/" + pty.name;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) std::abort();
  termios raw{};
  tcgetattr(fd, &raw);
  cfmakeraw(&raw);
  tcsetattr(fd, TCSANOW, &raw);
  return fd;
}

double MiBPerSecond(std::size_t bytes, Clock::duration elapsed) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0) /
         std::chrono::duration<double>(elapsed).count();
}

double PlainWrite(std::size_t total, std::size_t block) {
  Pty pty;
  const int slave = OpenSlaveRaw(pty);
  std::thread peer(ReadAllFrom, pty.master, total, 65536);
  const auto start = Clock::now();
  WriteAllTo(slave, total, block);
  peer.join();
  const auto elapsed = Clock::now() - start;
  close(slave);
  return MiBPerSecond(total, elapsed);
}

double PlainRead(std::size_t total, std::size_t block) {
  Pty pty;
  const int slave = OpenSlaveRaw(pty);
  const auto start = Clock::now();
  std::thread peer(WriteAllTo, pty.master, total, block);
  ReadAllFrom(slave, total, 65536);
  peer.join();
  const auto elapsed = Clock::now() - start;
  close(slave);
  return MiBPerSecond(total, elapsed);
}

bool OpenPort(SerialCtl& port, const Pty& pty) {
  port.SetSerial(pty.name.c_str(), 115200, 8, 1, "NONE", "");
  port.OpenSerial();
  return port.IsSerialOpen();
}

double LibraryWrite(std::size_t total, std::size_t block) {
  Pty pty;
  SerialCtl port;
  if (!OpenPort(port, pty)) std::abort();
  std::vector<unsigned char> data(block, 0xA5);
  std::thread peer(ReadAllFrom, pty.master, total, 65536);
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
  if (!OpenPort(port, pty)) std::abort();
  kavrel::MessageQueue window;
  kavrel::SetMainWindow(&window);
  port.ListenSerial(0, 1);
  std::vector<unsigned char> data(SerialCtl::kStagingSize);
  const auto start = Clock::now();
  std::thread peer(WriteAllTo, pty.master, total, block);
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

// Runs the plain and the library transfer in alternation, several rounds,
// so that both see the same machine; reports the medians.
void Compare(const char* label, double (*plain)(std::size_t, std::size_t),
             double (*library)(std::size_t, std::size_t), std::size_t total, std::size_t block,
             int rounds) {
  std::vector<double> plainRates;
  std::vector<double> libraryRates;
  for (int round = 0; round < rounds; ++round) {
    plainRates.push_back(plain(total, block));
    libraryRates.push_back(library(total, block));
  }
  const double plainRate = Median(plainRates);
  const double libraryRate = Median(libraryRates);
  std::printf("%-5s %3zu KiB  %14.1f %12.1f %8.3f\n", label, block / 1024, libraryRate, plainRate,
              libraryRate / plainRate);
}

}  // namespace

int main(int argc, char** argv) {
  kavrel::SetTraceHandler([](const char*) {});
  const std::size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::size_t total = mebibytes << 20;
  std::printf("%zu MiB each way, median of %d rounds\n", mebibytes, rounds);
  std::printf("%-15s %14s %12s %8s\n", "", "Kavrel MiB/s", "plain MiB/s", "ratio");
  for (std::size_t block : {std::size_t{4096}, std::size_t{65536}}) {
    Compare("write", PlainWrite, LibraryWrite, total, block, rounds);
    Compare("read", PlainRead, LibraryRead, total, block, rounds);
  }
  return 0;
}
