// What only the Linux model of the cable shows (tests/wine/modem_lines_shim.c,
// driven through the pty master): the break as the peer sees it, the ring
// indicator, and a modem wait of the emulated driver ending on cancel and
// close without leaving anything behind.
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <chrono>
#include <future>
#include <thread>

#include "kavrel/SerialCtl.h"
#include "kavrel/port_control.h"
#include "platform/platform.h"
#include "support/pty_pair.h"
#include "support/resource_count.h"

namespace {

using kavrel_test::PtyPair;

class CableModel : public ::testing::Test {
 protected:
  void SetUp() override {
    int lines = 0;
    if (!pair_.ok() || ioctl(pair_.master(), TIOCMGET, &lines) != 0) {
      GTEST_SKIP() << "no modem-line model loaded";
    }
    port_.SetSerial(pair_.name().c_str(), 115200, 8, 1, "NONE", "");
    port_.OpenSerial();
    ASSERT_TRUE(port_.IsSerialOpen());
  }

  serial_icounter_struct PeerCounts() {
    serial_icounter_struct counts{};
    EXPECT_EQ(ioctl(pair_.master(), TIOCGICOUNT, &counts), 0);
    return counts;
  }

  PtyPair pair_;
  SerialCtl port_;
};

TEST_F(CableModel, ThePeerSeesEachBreakForItsLength) {
  const int before = PeerCounts().brk;
  ASSERT_TRUE(kavrel::SendBreak(port_, 120));
  serial_icounter_struct counts = PeerCounts();
  EXPECT_EQ(counts.brk, before + 1);
  EXPECT_GE(counts.reserved[0], 120);  // the model's length of the last break
  EXPECT_EQ(counts.reserved[1], 0);    // and none is held now

  ASSERT_TRUE(kavrel::SetBreak(port_, true));
  EXPECT_EQ(PeerCounts().reserved[1], 1);
  ASSERT_TRUE(kavrel::SetBreak(port_, false));
  EXPECT_EQ(PeerCounts().reserved[1], 0);
}

TEST_F(CableModel, ARingPulseBetweenLooksIsStillSeen) {
  // The model counts changes, so a pulse that is over before the driver
  // looks again is reported all the same.
  auto waiter = std::async(std::launch::async, [this] {
    unsigned changed = 0;
    kavrel::WaitForModemChange(port_, kavrel::kModemRing, 20000, &changed);
    return changed;
  });
  const int ring = TIOCM_RNG;
  while (waiter.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
    ioctl(pair_.master(), TIOCMBIS, &ring);
    ioctl(pair_.master(), TIOCMBIC, &ring);
  }
  EXPECT_EQ(waiter.get(), kavrel::kModemRing);
}

TEST_F(CableModel, AModemWaitEndsOnCancelAndOnClose) {
  using namespace kavrel::platform;  // NOLINT(google-build-using-namespace): Win32 names
  port_.CloseSerial();
  const kavrel_test::ResourceSnapshot before = kavrel_test::ResourceSnapshot::Take();
  const std::string path = "\\\\.\\" + pair_.name();
  const HANDLE device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, kNoHandle);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetCommMask(device, EV_CTS | EV_DSR | EV_RLSD | EV_RING));
  for (const bool byClose : {false, true}) {
    OVERLAPPED request{};
    DWORD events = 0;
    ASSERT_FALSE(WaitCommEvent(device, &events, &request));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    if (byClose) {
      CloseHandle(device);
    } else {
      ASSERT_TRUE(CancelIoEx(device, &request));
    }
    DWORD unused = 0;
    EXPECT_FALSE(GetOverlappedResult(device, &request, &unused, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  }
  const kavrel_test::ResourceSnapshot after = kavrel_test::ResourceSnapshot::Take();
  EXPECT_EQ(after.descriptors, before.descriptors);
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_EQ(after.handles, before.handles);
}

}  // namespace
