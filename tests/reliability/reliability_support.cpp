#include "reliability_support.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <thread>

namespace kavrel_reliability {

namespace {

struct FigureBook {
  std::mutex mutex;
  std::map<std::string, std::uint64_t> figures;
};

FigureBook& Figures() {
  static FigureBook* book = new FigureBook;  // read by the environment at exit
  return *book;
}

// Prints the figures once every test of the binary has run.
class FigurePrinter : public ::testing::Environment {
 public:
  void TearDown() override {
    std::lock_guard<std::mutex> lock(Figures().mutex);
    for (const auto& figure : Figures().figures) {
      std::printf("KAVREL-FIGURE %s=%llu\n", figure.first.c_str(),
                  static_cast<unsigned long long>(figure.second));
    }
    std::fflush(stdout);
  }
};

[[maybe_unused]] const ::testing::Environment* const kFigurePrinter =
    ::testing::AddGlobalTestEnvironment(new FigurePrinter);

}  // namespace

void Bounded(const char* what, const std::function<void()>& call, milliseconds bound) {
  std::packaged_task<void()> task(call);
  std::future<void> done = task.get_future();
  std::thread runner(std::move(task));
  if (done.wait_for(bound) != std::future_status::ready) {
    std::fprintf(stderr, "HUNG: '%s' did not return within %lld ms\n", what,
                 static_cast<long long>(bound.count()));
    std::fflush(stderr);
    std::abort();
  }
  runner.join();
  done.get();
}

ResourceLedger::ResourceLedger() : before_(kavrel_test::ResourceSnapshot::Take()) {}

void ResourceLedger::ExpectUnchanged(const char* where) const {
  const kavrel_test::ResourceSnapshot after = kavrel_test::ResourceSnapshot::TakeSettled(before_);
  EXPECT_EQ(after.descriptors, before_.descriptors) << "descriptors, " << where;
  EXPECT_EQ(after.threads, before_.threads) << "threads, " << where;
  EXPECT_EQ(after.handles, before_.handles) << "live handles, " << where;
}

std::chrono::microseconds ProcessCpuTime() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec;
  const auto micros = usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
  return std::chrono::seconds(seconds) + std::chrono::microseconds(micros);
}

bool StaysIdle(milliseconds window) {
  const auto cpuBefore = ProcessCpuTime();
  std::this_thread::sleep_for(window);
  const auto used = ProcessCpuTime() - cpuBefore;
  if (used * 2 < window) return true;
  std::printf("busy: %lld us of CPU in a %lld ms idle window\n",
              static_cast<long long>(used.count()), static_cast<long long>(window.count()));
  return false;
}

bool OpenOn(SerialCtl& port, const kavrel_test::NullModemPair& pair) {
  port.SetSerial(pair.portName().c_str(), 115200, 8, 1, "NONE", "");
  port.OpenSerial();
  return port.IsSerialOpen();
}

void ExpectReopensOnANewPair(SerialCtl& port) {
  Bounded("CloseSerial before reopening", [&] { port.CloseSerial(); });
  EXPECT_FALSE(port.IsSerialOpen());
  kavrel_test::NullModemPair next;
  ASSERT_TRUE(next.ok());
  ASSERT_TRUE(OpenOn(port, next));
  const unsigned char out = 0x3C;
  EXPECT_EQ(port.WriteSerial(&out, 1), 1);
  EXPECT_EQ(next.PeerReadExactly(1, std::chrono::seconds(10)), Bytes{0x3C});
  const unsigned char in = 0xC3;
  ASSERT_TRUE(next.PeerWrite(&in, 1));
  EXPECT_EQ(ReadFor(port, milliseconds(5000), 1), Bytes{0xC3});
  port.CloseSerial();
}

Bytes ReadFor(SerialCtl& port, milliseconds within, std::size_t atMost) {
  Bytes received;
  Bytes buffer(SerialCtl::kStagingSize);
  const auto end = std::chrono::steady_clock::now() + within;
  while (received.size() < atMost && std::chrono::steady_clock::now() < end) {
    int count = 0;
    port.ReadSerial(buffer.data(), count);
    if (count > 0) {
      received.insert(received.end(), buffer.begin(), buffer.begin() + count);
    } else {
      std::this_thread::sleep_for(milliseconds(2));
    }
  }
  return received;
}

void CountFigure(const std::string& name, std::uint64_t amount) {
  std::lock_guard<std::mutex> lock(Figures().mutex);
  Figures().figures[name] += amount;
}

}  // namespace kavrel_reliability
