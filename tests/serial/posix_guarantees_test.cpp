// What a Linux host can check beyond the public surface: the line settings
// as the pty driver holds them, handles that cannot reach a recycled
// descriptor, and the process's descriptors and threads across many cycles.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "kavrel/SerialCtl.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "support/host_capture.h"
#include "support/pty_pair.h"
#include "support/resource_count.h"

namespace {

using kavrel_test::PtyPair;
using kavrel_test::ResourceSnapshot;

constexpr kavrel::HANDLE kEmpty{};

void ExpectNothingLeaked(const ResourceSnapshot& before) {
  const ResourceSnapshot after = ResourceSnapshot::TakeSettled(before);
  EXPECT_EQ(after.descriptors, before.descriptors);
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_EQ(after.handles, before.handles);
}

TEST(LineSettings, SpeedAndStopBitsReachTheDevice) {
  PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  const struct {
    long baud;
    speed_t speed;
    int stopBits;
    bool twoStopBits;
  } rows[] = {{9600, B9600, 1, false}, {115200, B115200, 2, true}, {57600, B57600, 0, false}};
  for (const auto& row : rows) {
    SerialCtl port;
    port.SetSerial(pair.name().c_str(), row.baud, 8, row.stopBits, "NONE", "");
    port.OpenSerial();
    ASSERT_TRUE(port.IsSerialOpen());
    // Termios requests on a pty master act on the slave's settings.
    termios settings{};
    ASSERT_EQ(tcgetattr(pair.master(), &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), row.speed) << row.baud;
    EXPECT_EQ((settings.c_cflag & CSTOPB) != 0, row.twoStopBits) << row.baud;
    // Raw: no echo, no line editing, no CR/LF mapping, no flow control.
    EXPECT_EQ(settings.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(settings.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    port.CloseSerial();
  }
}

TEST(LineSettings, PtyKeepsTheRequestedDataBitsAndParity) {
  PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  SerialCtl port;
  port.SetSerial(pair.name().c_str(), 9600, 7, 1, "EVEN", "");
  port.OpenSerial();
  ASSERT_TRUE(port.IsSerialOpen());
  // The pty driver itself forces 8 data bits and no parity; the device
  // still reports what was asked, as a wire would carry it.
  kavrel::DCB reported{};
  ASSERT_TRUE(kavrel::platform::GetCommState(port.portHandle, &reported));
  EXPECT_EQ(reported.ByteSize, 7);
  EXPECT_EQ(reported.Parity, 2);
  EXPECT_EQ(reported.BaudRate, 9600u);
}

TEST(Handles, StaleHandleNeverReachesARecycledDescriptor) {
  PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  SerialCtl port;
  port.SetSerial(pair.name().c_str(), 9600, 8, 1, "NONE", "");
  port.OpenSerial();
  ASSERT_TRUE(port.IsSerialOpen());
  const kavrel::HANDLE old = port.portHandle;
  port.CloseSerial();
  // The same device, most likely on the same descriptor number, opened again.
  SerialCtl other;
  other.SetSerial(pair.name().c_str(), 9600, 8, 1, "NONE", "");
  other.OpenSerial();
  ASSERT_TRUE(other.IsSerialOpen());
  ASSERT_NE(other.portHandle, old);

  SerialCtl stale;
  stale.portHandle = old;
  const unsigned char byte = 1;
  EXPECT_EQ(stale.WriteSerial(&byte, 1), 0);
  EXPECT_TRUE(pair.ReadUntilQuiet(std::chrono::milliseconds(100)).empty());
  stale.portHandle = kEmpty;
}

TEST(Resources, ReopeningClosesTheCaptureStreamItHeld) {
  PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
  SerialCtl port;
  port.SetSerial(pair.name().c_str(), 9600, 8, 1, "NONE", "");
  port.OpenSerial();
  ASSERT_TRUE(port.IsSerialOpen());
  port.captureStream = fdopen(ends[1], "w");
  ASSERT_NE(port.captureStream, nullptr);
  // The reopen lets go of the stream: it must close it, not leak it. The
  // pipe's reader then sees the end of the stream.
  port.OpenSerial();
  ASSERT_TRUE(port.IsSerialOpen());
  EXPECT_EQ(port.captureStream, nullptr);
  char byte;
  EXPECT_EQ(read(ends[0], &byte, 1), 0);
  close(ends[0]);
}

TEST(Resources, AThousandFailedOpensLeaveNothingBehind) {
  kavrel_test::HostCapture quiet;
  PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  const ResourceSnapshot before = ResourceSnapshot::Take();
  SerialCtl port;
  for (int i = 0; i < 1000; ++i) {
    // Alternately a missing device and one that refuses the settings.
    if (i % 2 == 0) {
      port.SetSerial("ttyNONE9", 9600, 8, 1, "NONE", "");
    } else {
      port.SetSerial(pair.name().c_str(), 0, 8, 1, "NONE", "");
    }
    port.OpenSerial();
    ASSERT_FALSE(port.IsSerialOpen());
  }
  port.CloseSerial();
  ExpectNothingLeaked(before);
}

TEST(Resources, OpenListenCloseCyclesLeaveNothingBehind) {
  PtyPair pair;
  if (!pair.ok()) GTEST_SKIP() << "no pty here";
  const ResourceSnapshot before = ResourceSnapshot::Take();
  {
    SerialCtl port;
    port.SetSerial(pair.name().c_str(), 9600, 8, 1, "NONE", "");
    for (int i = 0; i < 1000; ++i) {
      port.OpenSerial();
      ASSERT_TRUE(port.IsSerialOpen());
      port.ListenSerial(0, 1);
      port.CloseSerial();
    }
    port.OpenSerial();
    ASSERT_TRUE(port.IsSerialOpen());
    for (int i = 0; i < 1000; ++i) {
      port.ListenSerial(0, 0);
      port.StopListenSerial();
    }
    // Stopping a listener that already ended, listening twice, destroying
    // while listening.
    port.ListenSerial(1, 1);
    port.ListenSerial(1, 1);
  }
  ExpectNothingLeaked(before);
}

}  // namespace
