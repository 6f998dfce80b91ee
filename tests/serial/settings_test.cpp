// The settings block, the queries and what copying an object means.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kavrel/SerialCtl.h"
#include "support/host_capture.h"
#include "support/null_modem.h"

namespace {

using kavrel_test::HostCapture;

TEST(Settings, StopBitsMapToTheirCodes) {
  SerialCtl port;
  const struct {
    int stopBits;
    int code;
  } rows[] = {{0, 0}, {1, 0}, {2, 2}, {15, 1}, {3, 1}, {-1, 1}};
  for (const auto& row : rows) {
    port.SetSerial("ttyS0", 9600, 8, row.stopBits, "NONE", "");
    EXPECT_EQ(port.stopBitsCode, row.code) << "stop bits " << row.stopBits;
  }
}

TEST(Settings, ParityTextsMatchExactlyAndCaseSensitively) {
  SerialCtl port;
  const struct {
    const char* text;
    int code;
  } rows[] = {{"NONE", 0}, {"none", 0}, {"ODD", 1},  {"odd", 1}, {"EVEN", 2},  {"even", 2},
              {"Odd", 0},  {"None", 0}, {"MARK", 0}, {"", 0},    {"EVEN ", 0}, {"odd\n", 0}};
  for (const auto& row : rows) {
    port.SetSerial("ttyS0", 9600, 8, 1, "EVEN", "");  // poison with a non-zero code
    port.SetSerial("ttyS0", 9600, 8, 1, row.text, "");
    EXPECT_EQ(port.parityCode, row.code) << "parity '" << row.text << "'";
  }
}

TEST(Settings, StoresNumbersAndNamesAsGiven) {
  SerialCtl port;
  port.SetSerial("pts/3", 115200, 7, 2, "odd", "capture.bin");
  EXPECT_STREQ(port.portName, "pts/3");
  EXPECT_EQ(port.baudRate, 115200);
  EXPECT_EQ(port.dataBits, 7);
  EXPECT_STREQ(port.captureName, "capture.bin");
  // The second call's values replace the first's.
  port.SetSerial("ttyUSB0", 9600, 8, 0, "NONE", "other.bin");
  EXPECT_STREQ(port.portName, "ttyUSB0");
  EXPECT_EQ(port.baudRate, 9600);
  EXPECT_STREQ(port.captureName, "other.bin");
}

TEST(Settings, HugeRatesSaturateInsteadOfWrapping) {
  SerialCtl port;
  const long huge = sizeof(long) > 4 ? static_cast<long>(0x100002580LL) : 0x7FFFFFFFL;
  port.SetSerial("ttyS0", huge, 8, 1, "NONE", "");
  // 0x1_0000_2580 would wrap to 9600, a rate the device would accept.
  EXPECT_EQ(port.baudRate, 0x7FFFFFFF);
}

TEST(Settings, OverlongPortNameIsRefusedNotCut) {
  HostCapture capture;
  SerialCtl port;
  port.SetSerial("ttyS0", 9600, 8, 1, "NONE", "keep.bin");
  port.SetSerial("ttyUSB1234", 19200, 7, 2, "EVEN", "new.bin");  // ten characters
  EXPECT_STREQ(port.portName, "");
  // Nothing after the name was stored.
  EXPECT_EQ(port.baudRate, 9600);
  EXPECT_STREQ(port.captureName, "keep.bin");
  ASSERT_EQ(capture.traces().size(), 1u);
  EXPECT_EQ(capture.traces()[0], "Kavrel CString Abnormal[ttyUSB1234]??\n");

  // Nine characters still fit.
  port.SetSerial("ttyUSB123", 9600, 8, 1, "NONE", "");
  EXPECT_STREQ(port.portName, "ttyUSB123");
}

TEST(Settings, RefusedNameMakesTheNextOpenFail) {
  kavrel_test::NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  HostCapture capture;
  SerialCtl port;
  port.SetSerial(pair.portName().c_str(), 9600, 8, 1, "NONE", "");
  port.SetSerial("pts/123456789", 9600, 8, 1, "NONE", "");
  port.OpenSerial();
  EXPECT_FALSE(port.IsSerialOpen());
  EXPECT_TRUE(capture.messageBoxes().empty());
}

TEST(Settings, NullCaptureNameKeepsThePreviousOneAndTraces) {
  HostCapture capture;
  SerialCtl port;
  port.SetSerial("ttyS0", 9600, 8, 1, "NONE", "first.bin");
  port.SetSerial("ttyS1", 4800, 7, 2, "ODD", nullptr);
  EXPECT_STREQ(port.portName, "ttyS1");
  EXPECT_EQ(port.baudRate, 4800);
  EXPECT_EQ(port.dataBits, 7);
  EXPECT_EQ(port.stopBitsCode, 2);
  EXPECT_EQ(port.parityCode, 1);
  EXPECT_STREQ(port.captureName, "first.bin");
  ASSERT_EQ(capture.traces().size(), 1u);
  EXPECT_EQ(capture.traces()[0], "Kavrel CString Abnormal[ttyS1]??\n");
}

TEST(Settings, NullTextsAreEmptyTexts) {
  HostCapture capture;
  SerialCtl port;
  port.SetSerial(nullptr, 9600, 8, 1, nullptr, "x");
  EXPECT_STREQ(port.portName, "");
  EXPECT_EQ(port.parityCode, 0);
  EXPECT_TRUE(capture.traces().empty());
}

TEST(Settings, LongCaptureNameIsCutTo254) {
  SerialCtl port;
  const std::string name(400, 'c');
  port.SetSerial("ttyS0", 9600, 8, 1, "NONE", name.c_str());
  EXPECT_EQ(std::strlen(port.captureName), 254u);
  EXPECT_EQ(std::string(port.captureName), name.substr(0, 254));
}

TEST(Queries, VersionIsFixedAndANewObjectIsClosed) {
  SerialCtl port;
  EXPECT_EQ(port.GetVer(), 301);
  EXPECT_TRUE(port.GetVersion() == "3.1");
  EXPECT_FALSE(port.IsSerialOpen());
  EXPECT_EQ(port.isCanSend(), 0);
  EXPECT_EQ(port.settleDelayMs, 1);
  EXPECT_EQ(port.pollIntervalMs, 1);
  EXPECT_EQ(port.notifyTag, 0);
  EXPECT_EQ(port.captureStream, nullptr);
  EXPECT_EQ(port.portHandle, kavrel::HANDLE{});
  EXPECT_EQ(port.listenerThread, kavrel::HANDLE{});
}

TEST(Copying, CopiesConfigurationButNeverResources) {
  kavrel_test::NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  SerialCtl source;
  source.SetSerial(pair.portName().c_str(), 19200, 8, 2, "EVEN", "copy.bin");
  source.notifyTag = 77;
  source.OpenSerial();
  ASSERT_TRUE(source.IsSerialOpen());

  SerialCtl target;
  target = source;
  EXPECT_STREQ(target.portName, source.portName);
  EXPECT_EQ(target.baudRate, 19200);
  EXPECT_EQ(target.stopBitsCode, 2);
  EXPECT_EQ(target.parityCode, 2);
  EXPECT_EQ(target.notifyTag, 77);
  EXPECT_STREQ(target.captureName, "copy.bin");
  EXPECT_FALSE(target.IsSerialOpen());
  EXPECT_EQ(target.portHandle, kavrel::HANDLE{});

  // Destroying the copy must not close the source's device: it still sends.
  { SerialCtl copy(source); }
  const unsigned char ping[] = {'p', 'i', 'n', 'g'};
  EXPECT_EQ(source.WriteSerial(ping, sizeof ping), 1);
  EXPECT_EQ(pair.PeerReadExactly(sizeof ping).size(), sizeof ping);
}

TEST(Copying, AssigningOverAnOpenObjectReleasesItsOwnDevice) {
  kavrel_test::NullModemPair pair;
  KAVREL_REQUIRE_PAIR(pair);
  SerialCtl open;
  open.SetSerial(pair.portName().c_str(), 9600, 8, 1, "NONE", "");
  open.OpenSerial();
  ASSERT_TRUE(open.IsSerialOpen());
  const SerialCtl blank;
  open = blank;
  EXPECT_FALSE(open.IsSerialOpen());

  // The device was released: another object can now hold it.
  SerialCtl other;
  other.SetSerial(pair.portName().c_str(), 9600, 8, 1, "NONE", "");
  other.OpenSerial();
  EXPECT_TRUE(other.IsSerialOpen());
}

}  // namespace
