// SetCommState/GetCommState on a pty: what is asked reaches the line (seen
// through the master, whose termios requests act on the slave), what cannot
// be done is refused without touching the line, and what a pty cannot carry
// is still reported as asked.
#include <gtest/gtest.h>
#include <termios.h>

#include <cstring>

#include "platform/platform.h"
#include "port_fixture.h"
#include "termios2_probe.h"

namespace {

namespace p = kavrel::platform;
using kavrel::BYTE;
using kavrel::DCB;
using kavrel::DWORD;
using kavrel_platform_test::KernelSpeed;
using kavrel_platform_test::OpenPort;
using kavrel_platform_test::ReadKernelSpeed;

termios MasterView(OpenPort& port) {
  termios settings{};
  EXPECT_EQ(tcgetattr(port.peer().master(), &settings), 0);
  return settings;
}

bool SameLine(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// Every DCB member, bit-fields included, one by one.
void ExpectSameDcb(const DCB& a, const DCB& b) {
  EXPECT_EQ(a.DCBlength, b.DCBlength);
  EXPECT_EQ(a.BaudRate, b.BaudRate);
  EXPECT_EQ(unsigned(a.fBinary), unsigned(b.fBinary));
  EXPECT_EQ(unsigned(a.fParity), unsigned(b.fParity));
  EXPECT_EQ(unsigned(a.fOutxCtsFlow), unsigned(b.fOutxCtsFlow));
  EXPECT_EQ(unsigned(a.fOutxDsrFlow), unsigned(b.fOutxDsrFlow));
  EXPECT_EQ(unsigned(a.fDtrControl), unsigned(b.fDtrControl));
  EXPECT_EQ(unsigned(a.fDsrSensitivity), unsigned(b.fDsrSensitivity));
  EXPECT_EQ(unsigned(a.fTXContinueOnXoff), unsigned(b.fTXContinueOnXoff));
  EXPECT_EQ(unsigned(a.fOutX), unsigned(b.fOutX));
  EXPECT_EQ(unsigned(a.fInX), unsigned(b.fInX));
  EXPECT_EQ(unsigned(a.fErrorChar), unsigned(b.fErrorChar));
  EXPECT_EQ(unsigned(a.fNull), unsigned(b.fNull));
  EXPECT_EQ(unsigned(a.fRtsControl), unsigned(b.fRtsControl));
  EXPECT_EQ(unsigned(a.fAbortOnError), unsigned(b.fAbortOnError));
  EXPECT_EQ(a.XonLim, b.XonLim);
  EXPECT_EQ(a.XoffLim, b.XoffLim);
  EXPECT_EQ(a.ByteSize, b.ByteSize);
  EXPECT_EQ(a.Parity, b.Parity);
  EXPECT_EQ(a.StopBits, b.StopBits);
  EXPECT_EQ(a.XonChar, b.XonChar);
  EXPECT_EQ(a.XoffChar, b.XoffChar);
  EXPECT_EQ(a.ErrorChar, b.ErrorChar);
  EXPECT_EQ(a.EofChar, b.EofChar);
  EXPECT_EQ(a.EvtChar, b.EvtChar);
}

DCB Current(OpenPort& port) {
  DCB dcb{};
  EXPECT_TRUE(p::GetCommState(port.handle(), &dcb));
  return dcb;
}

TEST(CommState, GetFillsLengthAndBinaryMode) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  ASSERT_TRUE(p::GetCommState(port.handle(), &dcb));
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  EXPECT_EQ(unsigned(dcb.fBinary), 1u);
  EXPECT_GT(dcb.BaudRate, 0u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, p::NOPARITY);
}

TEST(CommState, SpeedAndStopBitsReachTheLine) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  const struct {
    DWORD rate;
    speed_t code;
    BYTE byteSize, stopBits;
  } rows[] = {
      {9600, B9600, 8, p::ONESTOPBIT},       {19200, B19200, 8, p::TWOSTOPBITS},
      {115200, B115200, 6, p::TWOSTOPBITS},  {300, B300, 5, p::ONE5STOPBITS},
      {4000000, B4000000, 8, p::ONESTOPBIT},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.rate);
    DCB dcb = Current(port);
    dcb.BaudRate = row.rate;
    dcb.ByteSize = row.byteSize;
    dcb.StopBits = row.stopBits;
    ASSERT_TRUE(p::SetCommState(port.handle(), &dcb));
    const termios line = MasterView(port);
    EXPECT_EQ(cfgetospeed(&line), row.code);
    EXPECT_EQ(cfgetispeed(&line), row.code);
    EXPECT_EQ((line.c_cflag & CSTOPB) != 0, row.stopBits != p::ONESTOPBIT);
    const DCB back = Current(port);
    EXPECT_EQ(back.BaudRate, row.rate);
    EXPECT_EQ(back.StopBits, row.stopBits);
    EXPECT_EQ(back.ByteSize, row.byteSize);
  }
}

TEST(CommState, CustomRatesGoThroughTermios2AndBack) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  for (DWORD rate : {250000u, 31250u, 1234567u}) {
    SCOPED_TRACE(rate);
    DCB dcb = Current(port);
    dcb.BaudRate = rate;
    ASSERT_TRUE(p::SetCommState(port.handle(), &dcb));
    KernelSpeed speed;
    ASSERT_TRUE(ReadKernelSpeed(port.peer().master(), &speed));
    EXPECT_TRUE(speed.custom);
    EXPECT_EQ(speed.outputRate, rate);
    EXPECT_EQ(Current(port).BaudRate, rate);
  }
  // Changing another setting keeps the custom rate.
  DCB dcb = Current(port);
  dcb.StopBits = p::TWOSTOPBITS;
  ASSERT_TRUE(p::SetCommState(port.handle(), &dcb));
  EXPECT_EQ(Current(port).BaudRate, 1234567u);
  // And a standard rate replaces it with a plain code again.
  dcb.BaudRate = 57600;
  ASSERT_TRUE(p::SetCommState(port.handle(), &dcb));
  KernelSpeed speed;
  ASSERT_TRUE(ReadKernelSpeed(port.peer().master(), &speed));
  EXPECT_FALSE(speed.custom);
  const termios line = MasterView(port);
  EXPECT_EQ(cfgetospeed(&line), B57600);
  EXPECT_EQ(Current(port).BaudRate, 57600u);
}

TEST(CommState, RefusedSettingsLeaveTheLineAndTheReportUnchanged) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  {
    DCB start = Current(port);
    start.BaudRate = 38400;
    start.StopBits = p::TWOSTOPBITS;
    ASSERT_TRUE(p::SetCommState(port.handle(), &start));
  }
  const struct {
    const char* what;
    void (*set)(DCB&);
  } rows[] = {
      {"baud 0", [](DCB& d) { d.BaudRate = 0; }},
      {"1.5 stop bits with 8 data bits", [](DCB& d) { d.StopBits = p::ONE5STOPBITS; }},
      {"2 stop bits with 5 data bits",
       [](DCB& d) {
         d.ByteSize = 5;
         d.StopBits = p::TWOSTOPBITS;
       }},
      {"4 data bits", [](DCB& d) { d.ByteSize = 4; }},
      {"9 data bits", [](DCB& d) { d.ByteSize = 9; }},
      {"parity 5", [](DCB& d) { d.Parity = 5; }},
      {"stop bits 3", [](DCB& d) { d.StopBits = 3; }},
      {"DSR flow", [](DCB& d) { d.fOutxDsrFlow = 1; }},
      {"DTR handshake", [](DCB& d) { d.fDtrControl = p::DTR_CONTROL_HANDSHAKE; }},
      {"RTS toggle", [](DCB& d) { d.fRtsControl = p::RTS_CONTROL_TOGGLE; }},
      {"CTS flow alone", [](DCB& d) { d.fOutxCtsFlow = 1; }},
      {"NUL stripping", [](DCB& d) { d.fNull = 1; }},
      {"XON equals XOFF",
       [](DCB& d) {
         d.fOutX = 1;
         d.XoffChar = d.XonChar;
       }},
      // A refusal found late must not leave the early groups applied.
      {"good speed, bad flow",
       [](DCB& d) {
         d.BaudRate = 9600;
         d.fOutxDsrFlow = 1;
       }},
      {"custom speed, bad framing",
       [](DCB& d) {
         d.BaudRate = 250000;
         d.ByteSize = 9;
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const DCB before = Current(port);
    const termios lineBefore = MasterView(port);
    DCB asked = before;
    row.set(asked);
    p::SetLastError(p::ERROR_SUCCESS);
    EXPECT_FALSE(p::SetCommState(port.handle(), &asked));
    EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(SameLine(lineBefore, MasterView(port)));
    ExpectSameDcb(before, Current(port));
  }
}

TEST(CommState, APtyReportsTheDataBitsAndParityItCannotCarry) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  const struct {
    BYTE byteSize, parity, stopBits;
  } rows[] = {
      {7, p::EVENPARITY, p::ONESTOPBIT}, {8, p::ODDPARITY, p::TWOSTOPBITS},
      {6, p::MARKPARITY, p::ONESTOPBIT}, {5, p::SPACEPARITY, p::ONE5STOPBITS},
      {8, p::NOPARITY, p::ONESTOPBIT},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << int(row.byteSize) << "/" << int(row.parity));
    DCB dcb = Current(port);
    dcb.ByteSize = row.byteSize;
    dcb.Parity = row.parity;
    dcb.StopBits = row.stopBits;
    dcb.fParity = row.parity != p::NOPARITY;
    ASSERT_TRUE(p::SetCommState(port.handle(), &dcb));
    // The pty itself still carries 8 bits without parity...
    const termios line = MasterView(port);
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
    // ...while the stop bits it does carry.
    EXPECT_EQ((line.c_cflag & CSTOPB) != 0, row.stopBits != p::ONESTOPBIT);
    const DCB back = Current(port);
    EXPECT_EQ(back.ByteSize, row.byteSize);
    EXPECT_EQ(back.Parity, row.parity);
    EXPECT_EQ(back.StopBits, row.stopBits);
    EXPECT_EQ(unsigned(back.fParity), row.parity != p::NOPARITY ? 1u : 0u);
  }
}

TEST(CommState, ChangingOnlyWhatAPtyOverridesOrNothingAtAllIsAccepted) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  // Each request differs from the line only in data bits or parity, which
  // the pty driver overrides, or repeats the settings in force: the line
  // shows no change either way, and the request still stands.
  const struct {
    BYTE byteSize, parity;
  } rows[] = {
      {6, p::NOPARITY},   {7, p::NOPARITY}, {7, p::NOPARITY}, {7, p::EVENPARITY},
      {7, p::EVENPARITY}, {8, p::NOPARITY}, {8, p::NOPARITY}, {5, p::NOPARITY},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << int(row.byteSize) << "/" << int(row.parity));
    DCB dcb = Current(port);
    dcb.ByteSize = row.byteSize;
    dcb.Parity = row.parity;
    dcb.StopBits = p::ONESTOPBIT;
    ASSERT_TRUE(p::SetCommState(port.handle(), &dcb)) << p::GetLastError();
    const DCB back = Current(port);
    EXPECT_EQ(back.ByteSize, row.byteSize);
    EXPECT_EQ(back.Parity, row.parity);
  }
}

TEST(CommState, HandshakesAndXonXoffCharactersRoundTrip) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  DCB dcb = Current(port);
  dcb.fOutxCtsFlow = 1;
  dcb.fRtsControl = p::RTS_CONTROL_HANDSHAKE;
  dcb.fOutX = 1;
  dcb.fInX = 1;
  dcb.XonChar = 0x05;
  dcb.XoffChar = 0x06;
  ASSERT_TRUE(p::SetCommState(port.handle(), &dcb));
  termios line = MasterView(port);
  EXPECT_NE(line.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
  EXPECT_EQ(line.c_cc[VSTART], 0x05);
  EXPECT_EQ(line.c_cc[VSTOP], 0x06);
  ExpectSameDcb(dcb, Current(port));

  dcb.fOutxCtsFlow = 0;
  dcb.fRtsControl = p::RTS_CONTROL_DISABLE;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  ASSERT_TRUE(p::SetCommState(port.handle(), &dcb));
  line = MasterView(port);
  EXPECT_EQ(line.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF), 0u);
  ExpectSameDcb(dcb, Current(port));
}

TEST(CommState, MembersTermiosCannotHoldRoundTrip) {
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  DCB dcb = Current(port);
  dcb.XonLim = 1234;
  dcb.XoffLim = 4321;
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x1A;
  dcb.EvtChar = '\n';
  dcb.fDtrControl = p::DTR_CONTROL_DISABLE;
  dcb.fRtsControl = p::RTS_CONTROL_DISABLE;
  dcb.fTXContinueOnXoff = 1;
  dcb.fAbortOnError = 1;
  ASSERT_TRUE(p::SetCommState(port.handle(), &dcb));
  ExpectSameDcb(dcb, Current(port));
}

TEST(CommState, BadHandlesAndMissingRecordsAreRefused) {
  DCB dcb{};
  EXPECT_FALSE(p::GetCommState(0x12345, &dcb));
  EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_HANDLE);
  EXPECT_FALSE(p::SetCommState(0x12345, &dcb));
  EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_HANDLE);
  OpenPort port;
  KAVREL_REQUIRE_PORT(port);
  EXPECT_FALSE(p::GetCommState(port.handle(), nullptr));
  EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(p::SetCommState(port.handle(), nullptr));
  EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_PARAMETER);
}

}  // namespace
