// Memory per port: how much resident memory (and address space) each
// SerialCtl adds, in three steps: constructed (closed), opened on a pty
// slave, and listening with ListenSerial(1, 1). The objects are on the heap,
// as a host with many ports keeps them. One port is opened and listening
// before the first figure, so the library's one-time costs (its I/O thread,
// the allocator's first arenas) are not charged to the others. Beside it,
// the same number of plain slave descriptors opened in raw mode: the kernel
// holds a pty's buffers, so a plain descriptor costs the process next to
// nothing, and the figures are absolute rather than ratios.
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

// The far end only holds the masters open until the host is done.
int HoldOpen(int commands) {
  char ignored = 0;
  while (ReadExactly(commands, &ignored, 1)) {
  }
  return 0;
}

struct PerPort {
  double residentKiB;
  double virtualKiB;
};

PerPort Delta(const MemorySnapshot& before, const MemorySnapshot& after, std::size_t ports) {
  const auto kib = [ports](std::size_t from, std::size_t to) {
    return (static_cast<double>(to) - static_cast<double>(from)) / 1024.0 /
           static_cast<double>(ports);
  };
  return {kib(before.residentBytes, after.residentBytes),
          kib(before.virtualBytes, after.virtualBytes)};
}

void PrintStep(const char* label, const PerPort& perPort) {
  std::printf("%-34s %12.1f %14.1f\n", label, perPort.residentKiB, perPort.virtualKiB);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(
      argc, argv,
      "Resident memory per SerialCtl: constructed, open, and open with a listener; beside a "
      "plain open slave descriptor.");
  const std::size_t ports = options.quick ? 8 : 64;
  RaiseDescriptorLimit(8 * ports + 64);

  // One warm-up port, the measured ports, and as many for the plain baseline.
  std::vector<std::unique_ptr<Pty>> ptys;
  for (std::size_t i = 0; i < 2 * ports + 1; ++i) ptys.push_back(std::make_unique<Pty>());
  PeerProcess peer([](int commands, int) { return HoldOpen(commands); });
  for (auto& pty : ptys) pty->CloseMaster();

  kavrel::MessageQueue queue;
  kavrel::SetMainWindow(&queue);
  std::vector<std::unique_ptr<SerialCtl>> serialPorts;
  std::vector<int> plainDescriptors;

  auto warmUp = std::make_unique<SerialCtl>();
  OpenPort(*warmUp, ptys[0]->name());
  warmUp->ListenSerial(1, 1);
  SleepFor(100 * kMillisecond);
  const MemorySnapshot start = MemorySnapshot::Take();

  for (std::size_t i = 0; i < ports; ++i) serialPorts.push_back(std::make_unique<SerialCtl>());
  const MemorySnapshot constructed = MemorySnapshot::Take();
  for (std::size_t i = 0; i < ports; ++i) OpenPort(*serialPorts[i], ptys[1 + i]->name());
  const MemorySnapshot opened = MemorySnapshot::Take();
  for (auto& port : serialPorts) port->ListenSerial(1, 1);
  // Let every listener reach its idle wait, its stack touched as it will be.
  SleepFor(200 * kMillisecond);
  const MemorySnapshot listening = MemorySnapshot::Take();

  for (std::size_t i = 0; i < ports; ++i) {
    plainDescriptors.push_back(OpenSlave(ptys[1 + ports + i]->name(), true));
  }
  const MemorySnapshot plainOpened = MemorySnapshot::Take();

  std::printf("memory per port, %zu ports (KiB)\n", ports);
  std::printf("%-34s %12s %14s\n", "", "resident", "address space");
  PrintStep("SerialCtl constructed (closed)", Delta(start, constructed, ports));
  PrintStep("  + OpenSerial", Delta(constructed, opened, ports));
  PrintStep("  + ListenSerial(1, 1)", Delta(opened, listening, ports));
  const PerPort total = Delta(start, listening, ports);
  PrintStep("SerialCtl open and listening", total);
  const PerPort plain = Delta(listening, plainOpened, ports);
  PrintStep("plain open slave descriptor", plain);
  std::printf("(sizeof(SerialCtl) is %.1f KiB)\n", sizeof(SerialCtl) / 1024.0);
  std::printf(
      "summary: memory per open listening SerialCtl %.1f KiB resident (plain descriptor %.1f "
      "KiB)\n",
      total.residentKiB, plain.residentKiB);

  for (int fd : plainDescriptors) close(fd);
  for (auto& port : serialPorts) port->StopListenSerial();
  warmUp->StopListenSerial();
  kavrel::SetMainWindow(nullptr);
  serialPorts.clear();
  warmUp.reset();
  peer.Finish();
  return 0;
}
