// The port controls on a plain pty, as Linux has it: no modem lines (a clear
// failure, never a silent one), and a line put back on close exactly as the
// kernel held it, line discipline included.
#include <gtest/gtest.h>
#include <termios.h>

#include <string>

#include "host/error_reason.h"
#include "kavrel/SerialCtl.h"
#include "kavrel/errors.h"
#include "kavrel/port_control.h"
#include "support/pty_pair.h"

namespace {

using kavrel_test::PtyPair;

TEST(PortControlOnPty, NoModemLinesIsAClearFailure) {
  PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  SerialCtl port;
  port.SetSerial(pair.name().c_str(), 9600, 8, 1, "NONE", "");
  port.OpenSerial();
  ASSERT_TRUE(port.IsSerialOpen());
  const auto expectNoModemLines = [](bool succeeded) {
    EXPECT_FALSE(succeeded);
    const kavrel::ErrorReason reason = kavrel::GetLastErrorReason();
    EXPECT_EQ(reason.code, kavrel::kErrorNoModemLines);
    EXPECT_NE(reason.text.find("no modem lines"), std::string::npos) << reason.text;
    kavrel::host::RecordFailure(0);
  };
  unsigned lines = 0;
  expectNoModemLines(kavrel::GetModemLines(port, &lines));
  expectNoModemLines(kavrel::SetDtr(port, false));
  expectNoModemLines(kavrel::SetRts(port, true));
  // At once, instead of waiting for ever for lines that are not there.
  expectNoModemLines(
      kavrel::WaitForModemChange(port, kavrel::kAllModemLines, kavrel::kWaitForever, &lines));
}

TEST(PortControlOnPty, RestoreOnCloseBringsBackTheLineDiscipline) {
  PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  // A line as a shell would leave it: cooked, echoing, at 9600.
  termios cooked{};
  ASSERT_EQ(tcgetattr(pair.master(), &cooked), 0);
  cooked.c_lflag |= ICANON | ECHO | ISIG;
  cooked.c_iflag |= ICRNL | IXON;
  cfsetspeed(&cooked, B9600);
  ASSERT_EQ(tcsetattr(pair.master(), TCSANOW, &cooked), 0);
  SerialCtl port;
  ASSERT_TRUE(kavrel::SetRestoreOnClose(port, true));
  port.SetSerial(pair.name().c_str(), 115200, 8, 1, "NONE", "");
  port.OpenSerial();
  ASSERT_TRUE(port.IsSerialOpen());
  port.CloseSerial();
  termios after{};
  ASSERT_EQ(tcgetattr(pair.master(), &after), 0);
  EXPECT_EQ(cfgetospeed(&after), B9600);
  EXPECT_EQ(after.c_lflag, cooked.c_lflag);
  EXPECT_EQ(after.c_iflag, cooked.c_iflag);
}

}  // namespace
