// The port controls of kavrel/port_control.h on a null-modem pair: modem
// lines, flow control, break, drain, time-outs and restoring the line. On
// Linux the pair's modem lines come from the preload model this program runs
// with (tests/wine/modem_lines_shim.c); under Wine from the same model.
#include "kavrel/port_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kavrel/SerialCtl.h"
#include "kavrel/errors.h"
#include "kavrel/host.h"
#include "platform/platform.h"
#include "support/host_capture.h"
#include "support/null_modem.h"
#include "support/random_bytes.h"
#include "support/wine.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;
using kavrel_test::NullModemPair;
using std::chrono::milliseconds;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Skips a test whose wire has no modem lines (a pty without the model).
#define KAVREL_REQUIRE_MODEM_LINES()                                       \
  do {                                                                     \
    if (!pair_.PeerHasModemLines()) GTEST_SKIP() << "no modem lines here"; \
  } while (0)

class PortControl : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pair_.ok()) GTEST_SKIP() << "no virtual null-modem pair here";
    port_->SetSerial(pair_.portName().c_str(), 115200, 8, 1, "NONE", "");
  }

  void Open() {
    port_->OpenSerial();
    ASSERT_TRUE(port_->IsSerialOpen());
  }

  // What the port delivers within a few seconds, until it has want bytes.
  std::string Receive(std::size_t want) {
    std::string received;
    Bytes buffer(SerialCtl::kStagingSize);
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (received.size() < want && Clock::now() < end) {
      int count = 0;
      port_->ReadSerial(buffer.data(), count);
      received.append(buffer.begin(), buffer.begin() + count);
      if (count == 0) std::this_thread::sleep_for(milliseconds(5));
    }
    return received;
  }

  NullModemPair pair_;
  std::unique_ptr<SerialCtl> port_ = std::make_unique<SerialCtl>();
};

TEST_F(PortControl, ModemLinesCrossTheCable) {
  KAVREL_REQUIRE_MODEM_LINES();
  // Chosen while closed: the open applies them.
  ASSERT_TRUE(kavrel::SetDtr(*port_, false));
  ASSERT_TRUE(kavrel::SetRts(*port_, true));
  Open();
  constexpr unsigned kDsrDcd = kavrel::kModemDsr | kavrel::kModemDcd;
  const struct {
    bool dtr;  // this end's (SetDtr/SetRts), then the peer's
    bool rts;
    unsigned lines;  // what this end reads (GetModemLines)
  } rows[] = {{false, true, 0},
              {true, false, kavrel::kModemCts | kDsrDcd},
              {false, false, kavrel::kModemCts},
              {true, true, kDsrDcd}};
  bool first = true;
  for (const auto& row : rows) {
    if (!first) {
      ASSERT_TRUE(kavrel::SetDtr(*port_, row.dtr));
      ASSERT_TRUE(kavrel::SetRts(*port_, row.rts));
    }
    first = false;
    ASSERT_TRUE(pair_.PeerSetLines(row.lines & kavrel::kModemDsr, row.lines & kavrel::kModemCts));
    bool dtr = !row.dtr;
    bool rts = !row.rts;
    ASSERT_TRUE(pair_.PeerSeesPortLines(&dtr, &rts));
    EXPECT_EQ(dtr, row.dtr);
    EXPECT_EQ(rts, row.rts);
    unsigned lines = ~0u;
    ASSERT_TRUE(kavrel::GetModemLines(*port_, &lines));
    EXPECT_EQ(lines & ~kavrel::kModemRing, row.lines);
  }
}

// The peer toggles its RTS until the wait returns, so the change cannot fall
// before the wait began however the threads are scheduled.
void ExpectWaitSeesCtsChange(SerialCtl& port, NullModemPair& pair) {
  const Clock::time_point start = Clock::now();
  auto waiter = std::async(std::launch::async, [&port] {
    unsigned changed = 0;
    const bool ok = kavrel::WaitForModemChange(port, kavrel::kModemCts, 20000, &changed);
    return ok ? changed : 0u;
  });
  bool rts = false;
  while (waiter.wait_for(milliseconds(20)) != std::future_status::ready) {
    pair.PeerSetLines(true, rts = !rts);
  }
  EXPECT_EQ(waiter.get(), kavrel::kModemCts);
  // Ended by a change, not by its time-out.
  EXPECT_LT(MillisecondsSince(start), 15000);
}

TEST_F(PortControl, WaitReportsAChangeOrTimesOut) {
  KAVREL_REQUIRE_MODEM_LINES();
  Open();
  ASSERT_TRUE(pair_.PeerSetLines(true, true));
  ExpectWaitSeesCtsChange(*port_, pair_);

  // Nothing changes: the wait ends at its time-out with the reason.
  const Clock::time_point start = Clock::now();
  unsigned changed = 1;
  EXPECT_FALSE(kavrel::WaitForModemChange(*port_, kavrel::kAllModemLines, 200, &changed));
  EXPECT_EQ(changed, 0u);
  EXPECT_EQ(kavrel::GetLastErrorReason().code, kavrel::kErrorTimedOut);
  EXPECT_GE(MillisecondsSince(start), 190);
}

TEST_F(PortControl, WaitWorksBesideARunningListener) {
  KAVREL_REQUIRE_MODEM_LINES();
  Open();
  kavrel::MessageQueue window;
  kavrel::SetMainWindow(&window);
  port_->ListenSerial(0, 1);
  ExpectWaitSeesCtsChange(*port_, pair_);
  // The listener kept its request and still announces received bytes.
  ASSERT_TRUE(pair_.PeerWrite("x", 1));
  kavrel::Message message{};
  EXPECT_TRUE(window.Wait(message, 10000));
  EXPECT_EQ(message.message, kavrel::UINT{KAVREL_WM_DATA_READY});
  port_->StopListenSerial();
  kavrel::SetMainWindow(nullptr);
}

TEST_F(PortControl, HandshakeLinesAreRefusedNotFoughtOver) {
  Open();
  ASSERT_TRUE(kavrel::SetFlowControl(*port_, {kavrel::FlowControl::kRtsCts}));
  EXPECT_FALSE(kavrel::SetRts(*port_, false));
  EXPECT_EQ(kavrel::GetLastErrorReason().code, kavrel::kErrorRefused);
  EXPECT_NE(kavrel::GetLastErrorReason().text.find("RTS/CTS"), std::string::npos);
  // Closed, the choice still owns the line for the next open.
  port_->CloseSerial();
  EXPECT_FALSE(kavrel::SetRts(*port_, true));
}

TEST_F(PortControl, FlowControlAppliesAtOpenAndLive) {
  // With XON/XOFF on, the line takes the flow characters for itself.
  const std::string sent =
      "a\x13"
      "b\x11"
      "c";
  ASSERT_TRUE(kavrel::SetFlowControl(*port_, {kavrel::FlowControl::kXonXoff}));
  Open();
  ASSERT_TRUE(pair_.PeerWrite(sent.data(), sent.size()));
  EXPECT_EQ(Receive(3), "abc");

  ASSERT_TRUE(kavrel::SetFlowControl(*port_, {kavrel::FlowControl::kNone}));
  ASSERT_TRUE(pair_.PeerWrite(sent.data(), sent.size()));
  EXPECT_EQ(Receive(5), sent);

  ASSERT_TRUE(kavrel::SetFlowControl(*port_, {kavrel::FlowControl::kRtsCts}));
  kavrel::DCB line{};
  line.DCBlength = sizeof line;
  ASSERT_TRUE(kavrel::platform::GetCommState(port_->portHandle, &line));
  EXPECT_TRUE(line.fOutxCtsFlow);
  if (!kavrel_test::SkipUnderWine("GetCommState reports an RTS handshake as RTS enabled")) {
    EXPECT_EQ(line.fRtsControl, kavrel::DWORD{2});  // RTS_CONTROL_HANDSHAKE
  }

  EXPECT_FALSE(kavrel::SetFlowControl(*port_, {kavrel::FlowControl::kXonXoff, 'x', 'x'}));
  EXPECT_EQ(kavrel::GetLastErrorReason().code, kavrel::kErrorRefused);
}

TEST_F(PortControl, DtrDsrIsRefusedWhereTheDeviceCannotDoIt) {
#if defined(_WIN32)
  GTEST_SKIP() << "a Windows driver carries DTR/DSR flow control";
#endif
  // Refused live, the port runs on; chosen for the next open, the open fails.
  Open();
  EXPECT_FALSE(kavrel::SetFlowControl(*port_, {kavrel::FlowControl::kDtrDsr}));
  EXPECT_TRUE(port_->IsSerialOpen());
  port_->CloseSerial();
  kavrel_test::HostCapture boxes;
  ASSERT_TRUE(kavrel::SetFlowControl(*port_, {kavrel::FlowControl::kDtrDsr}));
  port_->OpenSerial();
  EXPECT_FALSE(port_->IsSerialOpen());
  EXPECT_NE(kavrel::GetLastErrorReason().text.find("DTR/DSR"), std::string::npos);
}

TEST_F(PortControl, BreakLastsAsLongAsAsked) {
  Open();
  const Clock::time_point start = Clock::now();
  EXPECT_TRUE(kavrel::SendBreak(*port_, 150));
  EXPECT_GE(MillisecondsSince(start), 150);
  EXPECT_TRUE(kavrel::SetBreak(*port_, true));
  EXPECT_TRUE(kavrel::SetBreak(*port_, false));
  // Data flows after the break.
  ASSERT_EQ(port_->WriteSerial(reinterpret_cast<const unsigned char*>("z"), 1), 1);
  EXPECT_EQ(Text(pair_.PeerReadExactly(1)), "z");
}

TEST_F(PortControl, DrainWaitsForAPeerThatDoesNotRead) {
  using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names
  Open();
  // A write the peer does not take yet, issued beside the port's own.
  const Bytes block = kavrel_test::RandomBytes(1 << 20, 7);
  OVERLAPPED write{};
  write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_FALSE(WriteFile(port_->portHandle, block.data(), static_cast<DWORD>(block.size()), nullptr,
                         &write));
  ASSERT_EQ(GetLastError(), kavrel::DWORD{ERROR_IO_PENDING});
  if (!kavrel_test::SkipUnderWine("FlushFileBuffers returns before a pending write is sent")) {
    EXPECT_FALSE(kavrel::Drain(*port_, 200));
    EXPECT_EQ(kavrel::GetLastErrorReason().code, kavrel::kErrorTimedOut);
  }
  EXPECT_EQ(pair_.PeerReadExactly(block.size()), block);
  DWORD written = 0;
  EXPECT_TRUE(GetOverlappedResult(port_->portHandle, &write, &written, TRUE));
  CloseHandle(write.hEvent);
  EXPECT_TRUE(kavrel::Drain(*port_, 30000));
}

TEST_F(PortControl, WriteTimeOutDiscardsTheRest) {
  ASSERT_TRUE(kavrel::SetTimeouts(*port_, {0, 300, 0}));  // applied at open
  Open();
  const Bytes block = kavrel_test::RandomBytes(4 << 20, 8);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(port_->WriteSerial(block.data(), block.size()), 0);
  EXPECT_GE(MillisecondsSince(start), 250);
  EXPECT_EQ(kavrel::GetLastErrorReason().code, kavrel::kErrorTimedOut);
  // What arrives is the start of the block and nothing of the rest: the
  // next block follows it directly.
  Bytes arrived = pair_.PeerReadUntilQuiet(milliseconds(500));
  ASSERT_LT(arrived.size(), block.size());
  EXPECT_TRUE(std::equal(arrived.begin(), arrived.end(), block.begin()));
  ASSERT_EQ(port_->WriteSerial(reinterpret_cast<const unsigned char*>("END"), 3), 1);
  EXPECT_EQ(Text(pair_.PeerReadUntilQuiet(milliseconds(500))), "END");
}

TEST_F(PortControl, ReadWaitsForTheFirstBytes) {
  Open();
  ASSERT_TRUE(kavrel::SetTimeouts(*port_, {300, 0, 0}));  // applied live
  Bytes buffer(SerialCtl::kStagingSize);
  int count = -1;
  const Clock::time_point start = Clock::now();
  port_->ReadSerial(buffer.data(), count);
  EXPECT_EQ(count, 0);
  EXPECT_GE(MillisecondsSince(start), 250);

  // Bytes that come during a long wait end it; both reads wait alike.
  ASSERT_TRUE(kavrel::SetTimeouts(*port_, {20000, 0, 0}));
  for (const auto read : {&SerialCtl::ReadSerial, &SerialCtl::ReadSerial2}) {
    auto peer = std::async(std::launch::async, [this] {
      std::this_thread::sleep_for(milliseconds(100));
      return pair_.PeerWrite("hi", 2);
    });
    ((*port_).*read)(buffer.data(), count);
    ASSERT_TRUE(peer.get());
    // A rare split leaves the second byte queued.
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + count) + Receive(2 - count), "hi");
  }
}

// The line's rate as the device reports it, opened on its own.
kavrel::DWORD RateOf(const std::string& name) {
  using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names
  const std::string path = "\\\\.\\" + name;
  const kavrel::HANDLE device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, kNoHandle);
  if (device == INVALID_HANDLE_VALUE) return 0;
  kavrel::DCB line{};
  line.DCBlength = sizeof line;
  const kavrel::DWORD rate = GetCommState(device, &line) ? line.BaudRate : 0;
  CloseHandle(device);
  return rate;
}

TEST_F(PortControl, RestoreOnClosePutsTheLineBack) {
  port_->SetSerial(pair_.portName().c_str(), 4800, 8, 1, "NONE", "");
  Open();
  port_->CloseSerial();
  port_->SetSerial(pair_.portName().c_str(), 115200, 8, 1, "NONE", "");
  for (const bool restore : {true, false}) {
    ASSERT_TRUE(kavrel::SetRestoreOnClose(*port_, restore));
    Open();
    port_->CloseSerial();
    EXPECT_EQ(RateOf(pair_.portName()), restore ? 4800u : 115200u);
  }
}

TEST_F(PortControl, ClosedPortsFailWithAReason) {
  unsigned lines = 0;
  EXPECT_FALSE(kavrel::GetModemLines(*port_, &lines));
  EXPECT_EQ(kavrel::GetLastErrorReason().code, kavrel::kErrorNotOpen);
  EXPECT_FALSE(kavrel::SendBreak(*port_, 1) || kavrel::Drain(*port_, 1) ||
               kavrel::WaitForModemChange(*port_, kavrel::kModemCts, 1, &lines));
  EXPECT_FALSE(kavrel::SetTimeouts(*port_, {kavrel::kWaitForever, 0, 0}));
  EXPECT_EQ(kavrel::GetLastErrorReason().code, kavrel::kErrorRefused);
}

}  // namespace
