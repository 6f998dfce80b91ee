// What only the Linux model of the cable shows (tests/wine/modem_lines_shim.c,
// driven through the pty master): the break as the peer sees it, and a ring
// pulse too short for the driver's looks.
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <chrono>
#include <future>
#include <thread>

#include "kavrel/SerialCtl.h"
#include "kavrel/port_control.h"
#include "support/pty_pair.h"

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

}  // namespace
