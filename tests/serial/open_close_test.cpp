// Opening and closing: settings applied or refused, exclusive ownership of
// the device, and nothing lost across open/close cycles.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "kavrel/SerialCtl.h"
#include "kavrel/errors.h"
#include "support/host_capture.h"
#include "support/null_modem.h"
#include "support/wine.h"

namespace {

using kavrel_test::HostCapture;
using kavrel_test::NullModemPair;

constexpr kavrel::HANDLE kEmpty{};

void Configure(SerialCtl& port, const NullModemPair& pair, long baud = 115200, int data = 8,
               int stop = 1, const char* parity = "NONE") {
  port.SetSerial(pair.portName().c_str(), baud, data, stop, parity, "");
}

TEST(Open, MissingDeviceLeavesThePortClosedWithoutAMessageAndSaysWhy) {
  HostCapture capture;
  SerialCtl port;
  port.SetSerial("ttyNONE9", 9600, 8, 1, "NONE", "");
  port.OpenSerial();
  EXPECT_FALSE(port.IsSerialOpen());
  const kavrel::ErrorReason reason = kavrel::GetLastErrorReason();
  EXPECT_EQ(reason.code, 2u);  // ERROR_FILE_NOT_FOUND
  EXPECT_EQ(reason.text, "no such device");
  EXPECT_NE(port.portHandle, kEmpty);  // the failed open's invalid value
  EXPECT_TRUE(capture.messageBoxes().empty());
  EXPECT_TRUE(capture.traces().empty());
  port.CloseSerial();
  EXPECT_EQ(port.portHandle, kEmpty);
}

TEST(Open, SucceedsAndCloses) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  HostCapture capture;
  SerialCtl port;
  Configure(port, pair);
  port.OpenSerial();
  ASSERT_TRUE(port.IsSerialOpen());
  EXPECT_NE(port.portHandle, kEmpty);
  EXPECT_NE(port.readOverlapped.hEvent, kEmpty);
  EXPECT_NE(port.writeOverlapped.hEvent, kEmpty);
  EXPECT_EQ(port.lineSettings.BaudRate, 115200u);
  EXPECT_EQ(port.lineSettings.ByteSize, 8);
  EXPECT_TRUE(capture.messageBoxes().empty());

  port.CloseSerial();
  EXPECT_FALSE(port.IsSerialOpen());
  EXPECT_EQ(port.portHandle, kEmpty);
  EXPECT_EQ(port.readOverlapped.hEvent, kEmpty);
  EXPECT_EQ(port.writeOverlapped.hEvent, kEmpty);
  port.CloseSerial();  // twice changes nothing
  EXPECT_EQ(port.portHandle, kEmpty);
}

TEST(Open, RefusedSettingsRaiseExactlyOneMessageBox) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  const struct {
    long baud;
    int data;
    int stop;
    const char* why;
    const char* wineAccepts;  // the Wine behaviour that lets it through, if any
  } rows[] = {
      {0, 8, 1, "baud 0", "SetCommState accepts baud 0"},
      {-9600, 8, 1, "negative baud", "SetCommState accepts any non-standard baud rate"},
      {9600, 8, 15, "1.5 stop bits with 8 data bits",
       "SetCommState accepts 1.5 stop bits with 8 data bits"},
      {9600, 5, 2, "2 stop bits with 5 data bits",
       "a pty forces 8 data bits, so SetCommState accepts 2 stop bits with 5"},
      {9600, 4, 1, "4 data bits", nullptr},
      {9600, 9, 1, "9 data bits", nullptr},
      {9600, 264, 1, "264 data bits (low byte 8)", nullptr},
  };
  for (const auto& row : rows) {
    if (row.wineAccepts != nullptr && kavrel_test::SkipUnderWine(row.wineAccepts)) continue;
    HostCapture capture;
    SerialCtl port;
    Configure(port, pair, row.baud, row.data, row.stop);
    port.OpenSerial();
    EXPECT_FALSE(port.IsSerialOpen()) << row.why;
    EXPECT_EQ(port.portHandle, kEmpty) << row.why;
    ASSERT_EQ(capture.messageBoxes().size(), 1u) << row.why;
    EXPECT_EQ(capture.messageBoxes()[0], kavrel_test::kSettingsErrorGbk) << row.why;
    // The rule broken is named where the platform knows it.
    EXPECT_EQ(kavrel::GetLastErrorReason().text.rfind("settings refused", 0), 0u) << row.why;
  }
  // The refused opens released the device: a good configuration opens it.
  SerialCtl port;
  Configure(port, pair);
  port.OpenSerial();
  EXPECT_TRUE(port.IsSerialOpen());
}

TEST(Open, SecondOpenOfAnOpenDeviceFails) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  KAVREL_SKIP_UNDER_WINE("a second open of an open port succeeds");
  SerialCtl first;
  SerialCtl second;
  Configure(first, pair);
  Configure(second, pair);
  first.OpenSerial();
  ASSERT_TRUE(first.IsSerialOpen());
  second.OpenSerial();
  EXPECT_FALSE(second.IsSerialOpen());
  // The failed attempt touched nothing of the first object's device.
  const unsigned char byte = 0x5A;
  EXPECT_EQ(first.WriteSerial(&byte, 1), 1);
  EXPECT_EQ(pair.PeerReadExactly(1), std::vector<unsigned char>{0x5A});
}

TEST(Open, ReopenCyclesWork) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  SerialCtl port;
  Configure(port, pair);
  for (int cycle = 0; cycle < 20; ++cycle) {
    port.OpenSerial();
    ASSERT_TRUE(port.IsSerialOpen()) << "cycle " << cycle;
    const unsigned char byte = static_cast<unsigned char>(cycle);
    ASSERT_EQ(port.WriteSerial(&byte, 1), 1);
    ASSERT_EQ(pair.PeerReadExactly(1), std::vector<unsigned char>{byte});
    port.CloseSerial();
    ASSERT_FALSE(port.IsSerialOpen());
  }
}

TEST(Open, OpeningAnOpenObjectReopensWithTheNewSettings) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  SerialCtl port;
  Configure(port, pair, 9600);
  port.OpenSerial();
  ASSERT_TRUE(port.IsSerialOpen());
  Configure(port, pair, 57600, 8, 2);
  port.OpenSerial();
  ASSERT_TRUE(port.IsSerialOpen());
  EXPECT_EQ(port.lineSettings.BaudRate, 57600u);
  EXPECT_EQ(port.lineSettings.StopBits, 2);
  const unsigned char byte = 0xA5;
  EXPECT_EQ(port.WriteSerial(&byte, 1), 1);
  EXPECT_EQ(pair.PeerReadExactly(1), std::vector<unsigned char>{0xA5});
}

TEST(Open, SuccessfulOpenDropsAnEarlierCaptureStream) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  std::FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  SerialCtl port;
  Configure(port, pair);
  port.captureStream = stream;
  port.OpenSerial();
  ASSERT_TRUE(port.IsSerialOpen());
  EXPECT_EQ(port.captureStream, nullptr);
  port.CloseSerial();
  std::fclose(stream);  // still ours: the open did not close it
}

TEST(Open, CloseClosesTheCaptureStream) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  SerialCtl port;
  Configure(port, pair);
  port.OpenSerial();
  ASSERT_TRUE(port.IsSerialOpen());
  port.captureStream = std::tmpfile();
  ASSERT_NE(port.captureStream, nullptr);
  port.CloseSerial();
  EXPECT_EQ(port.captureStream, nullptr);
}

TEST(Open, NamesOutsideTheDeviceDirectoryAreRefused) {
  HostCapture capture;
  const char* names[] = {"../tmp", "/dev/null", "", "pts/../0", "..", "null", "zero", "shm"};
  for (const char* name : names) {
    SerialCtl port;
    port.SetSerial(name, 9600, 8, 1, "NONE", "");
    port.OpenSerial();
    EXPECT_FALSE(port.IsSerialOpen()) << "'" << name << "'";
  }
  EXPECT_TRUE(capture.messageBoxes().empty());
}

TEST(Open, DestroyingAnOpenObjectReleasesTheDevice) {
  NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  {
    auto port = std::make_unique<SerialCtl>();
    Configure(*port, pair);
    port->OpenSerial();
    ASSERT_TRUE(port->IsSerialOpen());
  }
  SerialCtl again;
  Configure(again, pair);
  again.OpenSerial();
  EXPECT_TRUE(again.IsSerialOpen());
}

}  // namespace
