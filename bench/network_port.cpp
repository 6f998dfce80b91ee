// A network port over loopback: Kavrel's RFC 2217 transport beside pyserial's
// rfc2217:// client, both against the same ser2net in the same run.
//
// ser2net serves the slave of a pty pair on 127.0.0.1; this program drives
// the master as the device. Each measurement gets a fresh pair and server.
//   throughput  16 MiB (2 with --quick) each way: from the first write to
//               the last byte at the far end; every byte checked (byte k is
//               k mod 251). Kavrel writes with WriteSerial in 64 KiB blocks
//               and reads on its listener's notifications (ListenSerial(0,
//               1)); pyserial writes in one call and reads with read().
//   latency     one byte written to the master until the host knows of it:
//               Kavrel's ListenSerial(0, 0) notification, a loop calling
//               ReadSerial returning it (giving way between calls), pyserial's
//               blocking read(1) returning. 200 samples (30 with --quick),
//               3 ms apart.
// Rounds alternate between the two clients (3, or 1 with --quick); medians
// and the ratio Kavrel / pyserial are printed. Needs ser2net and pyserial
// (scripts/install-deps.sh).
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "kavrel/SerialCtl.h"
#include "kavrel/host.h"
#include "kavrel/named_ports.h"
#include "support/child_process.h"
#include "support/ser2net_server.h"

namespace {

using namespace kavrel_bench;  // NOLINT(google-build-using-namespace): the benchmark's own helpers

constexpr std::size_t kBlock = 65536;
constexpr char kPortName[] = "benchnet";
constexpr Nanoseconds kGapBetweenSamples = 3 * kMillisecond;
constexpr int kLostAfterMs = 5000;

std::vector<unsigned char> PatternBytes(std::size_t count) {
  std::vector<unsigned char> bytes(count);
  for (std::size_t k = 0; k < count; ++k) bytes[k] = static_cast<unsigned char>(k % 251);
  return bytes;
}

void ExpectPattern(const std::vector<unsigned char>& bytes, const char* who) {
  if (bytes != PatternBytes(bytes.size())) Fail(std::string(who) + ": a byte differs");
}

double MiBPerSecond(std::size_t bytes, Nanoseconds elapsed) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0) / (static_cast<double>(elapsed) / kSecond);
}

// A pty pair with ser2net serving its slave, and the name that leads there.
class Served {
 public:
  Served() : server_("/dev/" + pty_.name(), "115200n81") {
    if (!server_.ok()) Fail("ser2net: " + server_.error());
    if (!kavrel::NamePort(kPortName, server_.url().c_str())) Fail("cannot name the port");
  }
  ~Served() { kavrel::RemovePortName(kPortName); }
  int master() const { return pty_.master(); }
  std::string url() const { return server_.url(); }

 private:
  Pty pty_;
  kavrel_test::Ser2netServer server_;
};

// pyserial's client in a process of its own; its output once it has ended.
class Pyserial {
 public:
  Pyserial(const std::string& url, const char* mode, std::size_t count) {
    static const std::string python = kavrel_test::FindPythonWith("serial.rfc2217");
    if (python.empty()) Fail("needs python3 with pyserial (scripts/install-deps.sh)");
    char directory[] = "/tmp/kavrel-bench-XXXXXX";
    if (mkdtemp(directory) == nullptr) FailWithErrno("mkdtemp");
    directory_ = directory;
    std::string error;
    if (!process_.Start(python,
                        {python, KAVREL_BENCH_PYSERIAL_CLIENT, url, mode, std::to_string(count)},
                        directory_ + "/output", &error)) {
      Fail("pyserial: " + error);
    }
  }
  ~Pyserial() {
    unlink((directory_ + "/output").c_str());
    rmdir(directory_.c_str());
  }
  std::string Finish() {
    int status = 0;
    if (!process_.WaitForExit(std::chrono::seconds(60), &status)) Fail("pyserial did not end");
    std::ifstream file(directory_ + "/output");
    std::stringstream text;
    text << file.rdbuf();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("pyserial failed: " + text.str());
    return text.str();
  }

 private:
  std::string directory_;
  kavrel_test::ChildProcess process_;
};

void AwaitConnected(int master) {
  unsigned char hello = 0;
  if (!ReadExactly(master, &hello, 1) || hello != 1) Fail("pyserial did not say it connected");
}

double KavrelWrite(std::size_t total) {
  Served served;
  SerialCtl port;
  OpenPort(port, kPortName);
  const std::vector<unsigned char> data = PatternBytes(total);
  Nanoseconds end = 0;
  std::thread device([&] {
    std::vector<unsigned char> got(total);
    if (!ReadExactly(served.master(), got.data(), total)) Fail("the device read nothing");
    end = Now();
    ExpectPattern(got, "Kavrel write");
  });
  const Nanoseconds start = Now();
  for (std::size_t done = 0; done < total; done += kBlock) {
    const std::size_t n = total - done < kBlock ? total - done : kBlock;
    if (port.WriteSerial(data.data() + done, n) != 1) Fail("WriteSerial failed");
  }
  device.join();
  port.CloseSerial();
  return MiBPerSecond(total, end - start);
}

double KavrelRead(std::size_t total) {
  Served served;
  SerialCtl port;
  OpenPort(port, kPortName);
  kavrel::MessageQueue window;
  kavrel::SetMainWindow(&window);
  port.ListenSerial(0, 1);
  std::vector<unsigned char> staging(SerialCtl::kStagingSize);
  std::vector<unsigned char> got;
  const Nanoseconds start = Now();
  std::thread device([&] {
    const std::vector<unsigned char> data = PatternBytes(total);
    WriteExactly(served.master(), data.data(), data.size());
  });
  while (got.size() < total) {
    int count = 0;
    port.ReadSerial(staging.data(), count);
    if (count > 0) {
      got.insert(got.end(), staging.begin(), staging.begin() + count);
      continue;
    }
    kavrel::Message message{};
    if (!window.Wait(message, kLostAfterMs)) Fail("Kavrel read: no notification within 5 s");
  }
  const Nanoseconds end = Now();
  device.join();
  port.StopListenSerial();
  kavrel::SetMainWindow(nullptr);
  port.CloseSerial();
  got.resize(total);
  ExpectPattern(got, "Kavrel read");
  return MiBPerSecond(total, end - start);
}

double PyserialWrite(std::size_t total) {
  Served served;
  Pyserial client(served.url(), "write", total);
  AwaitConnected(served.master());
  std::vector<unsigned char> got(total);
  if (!ReadExactly(served.master(), got.data(), total)) Fail("the device read nothing");
  const Nanoseconds end = Now();
  const unsigned char done = 2;
  WriteExactly(served.master(), &done, 1);
  ExpectPattern(got, "pyserial write");
  const Nanoseconds start = std::stoll(client.Finish());
  return MiBPerSecond(total, end - start);
}

double PyserialRead(std::size_t total) {
  Served served;
  Pyserial client(served.url(), "read", total);
  AwaitConnected(served.master());
  const std::vector<unsigned char> data = PatternBytes(total);
  const Nanoseconds start = Now();
  WriteExactly(served.master(), data.data(), data.size());
  const Nanoseconds end = std::stoll(client.Finish());
  return MiBPerSecond(total, end - start);
}

// listen: learns of each byte from ListenSerial(0, 0)'s notification, then
// reads it; otherwise a loop calling ReadSerial returns it (giving way
// between calls: the driver's receive path alone, without the listener's
// hand-offs).
void KavrelLatency(bool listen, int count, std::vector<Nanoseconds>* samples) {
  Served served;
  SerialCtl port;
  OpenPort(port, kPortName);
  kavrel::MessageQueue window;
  kavrel::SetMainWindow(&window);
  if (listen) port.ListenSerial(0, 0);
  std::vector<unsigned char> staging(SerialCtl::kStagingSize);
  for (int i = 0; i < count; ++i) {
    SleepFor(kGapBetweenSamples);
    kavrel::Message stale{};
    while (window.Wait(stale, 0)) {
    }
    const auto value = static_cast<unsigned char>(i);
    const Nanoseconds sent = Now();
    WriteExactly(served.master(), &value, 1);
    for (;;) {
      kavrel::Message message{};
      if (listen && !window.Wait(message, kLostAfterMs)) Fail("Kavrel: no notification in 5 s");
      const Nanoseconds seen = Now();
      if (listen && message.message != KAVREL_WM_DATA_READY) continue;
      int got = 0;
      port.ReadSerial(staging.data(), got);
      if (got == 0) {
        if (!listen && seen - sent > kLostAfterMs * kMillisecond) Fail("Kavrel: no byte in 5 s");
        // The loop never keeps the I/O thread or ser2net off a processor.
        if (!listen) sched_yield();
        continue;
      }
      if (got != 1 || staging[0] != value) Fail("Kavrel: a wrong byte");
      samples->push_back(seen - sent);
      break;
    }
  }
  port.StopListenSerial();
  kavrel::SetMainWindow(nullptr);
  port.CloseSerial();
}

void PyserialLatency(int count, std::vector<Nanoseconds>* samples) {
  Served served;
  Pyserial client(served.url(), "latency", static_cast<std::size_t>(count));
  AwaitConnected(served.master());
  std::vector<Nanoseconds> sent;
  for (int i = 0; i < count; ++i) {
    SleepFor(kGapBetweenSamples);
    const auto value = static_cast<unsigned char>(i);
    sent.push_back(Now());
    WriteExactly(served.master(), &value, 1);
  }
  std::istringstream lines(client.Finish());
  for (int i = 0; i < count; ++i) {
    long long seen = 0;
    int value = -1;
    if (!(lines >> seen >> value) || value != (i & 0xFF)) Fail("pyserial: a wrong byte");
    samples->push_back(seen - sent[static_cast<std::size_t>(i)]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options options =
      ParseOptions(argc, argv,
                   "A network port through ser2net on loopback: throughput each way and "
                   "notification latency, Kavrel beside pyserial's rfc2217:// client.");
  kavrel::SetTraceHandler([](const char*) {});
  if (kavrel_test::Ser2netServer::Program().empty()) {
    Fail("needs ser2net (scripts/install-deps.sh)");
  }
  const int rounds = options.quick ? 1 : 3;
  const std::size_t total = (options.quick ? 2u : 16u) << 20;
  const int samples = options.quick ? 30 : 200;

  std::vector<double> kavrelWrite, kavrelRead, pyserialWrite, pyserialRead;
  std::vector<Nanoseconds> kavrelLatency, kavrelLoopLatency, pyserialLatency;
  for (int round = 0; round < rounds; ++round) {
    kavrelWrite.push_back(KavrelWrite(total));
    pyserialWrite.push_back(PyserialWrite(total));
    kavrelRead.push_back(KavrelRead(total));
    pyserialRead.push_back(PyserialRead(total));
    KavrelLatency(true, samples, &kavrelLatency);
    KavrelLatency(false, samples, &kavrelLoopLatency);
    PyserialLatency(samples, &pyserialLatency);
  }

  std::printf("network port through ser2net on loopback, %zu MiB each way, %d round(s)\n",
              total >> 20, rounds);
  std::printf("%-10s %14s %16s %8s\n", "", "Kavrel MiB/s", "pyserial MiB/s", "ratio");
  const struct {
    const char* label;
    double kavrel;
    double pyserial;
  } rates[] = {{"write", Median(kavrelWrite), Median(pyserialWrite)},
               {"read", Median(kavrelRead), Median(pyserialRead)}};
  for (const auto& rate : rates) {
    std::printf("%-10s %14.1f %16.1f %8.2f\n", rate.label, rate.kavrel, rate.pyserial,
                Ratio(rate.kavrel, rate.pyserial));
  }
  const Percentiles pyserial = Summarise(pyserialLatency);
  const struct {
    const char* label;
    Percentiles figures;
  } latencies[] = {{"ListenSerial(0, 0)", Summarise(kavrelLatency)},
                   {"ReadSerial loop", Summarise(kavrelLoopLatency)},
                   {"pyserial read(1)", pyserial}};
  std::printf("notification latency, 1 byte, %zu samples each (microseconds)\n", pyserial.count);
  std::printf("%-20s %9s %9s %9s   %8s %8s\n", "", "p50", "p99", "max", "p50 x", "p99 x");
  for (const auto& latency : latencies) {
    const Percentiles& figures = latency.figures;
    std::printf("%-20s %9.1f %9.1f %9.1f   %8.2f %8.2f\n", latency.label,
                ToMicroseconds(figures.p50), ToMicroseconds(figures.p99),
                ToMicroseconds(figures.max), Ratio(figures.p50, pyserial.p50),
                Ratio(figures.p99, pyserial.p99));
  }
  for (const auto& rate : rates) {
    std::printf("summary: network %-5s %7.1f MiB/s (%5.2fx pyserial)\n", rate.label, rate.kavrel,
                Ratio(rate.kavrel, rate.pyserial));
  }
  for (int i = 0; i < 2; ++i) {
    const Percentiles& figures = latencies[i].figures;
    std::printf(
        "summary: network latency %-18s p50 %7.1f us (%5.2fx pyserial)  p99 %7.1f us "
        "(%5.2fx pyserial)\n",
        latencies[i].label, ToMicroseconds(figures.p50), Ratio(figures.p50, pyserial.p50),
        ToMicroseconds(figures.p99), Ratio(figures.p99, pyserial.p99));
  }
  return 0;
}
