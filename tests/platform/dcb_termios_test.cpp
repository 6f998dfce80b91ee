// The DCB <-> termios mapping, one setting group at a time: each row starts
// from poisoned settings and expects exactly its own fields changed.
#include "platform/linux/dcb_termios.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/linux/line_settings.h"

namespace {

namespace p = kavrel::platform;
namespace x = kavrel::platform::driver;
using kavrel::BYTE;
using kavrel::DCB;

termios Poisoned() {
  termios settings;
  std::memset(&settings, 0xA5, sizeof settings);
  return settings;
}

bool SameTermios(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && a.c_line == b.c_line &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

DCB Plain() {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.fBinary = 1;
  dcb.ByteSize = 8;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

constexpr tcflag_t kLineFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

TEST(LineControl, EachAcceptedFramingSetsExactlyItsFlags) {
  const struct {
    BYTE byteSize, parity, stopBits;
    bool checkParity;
    tcflag_t expected;
  } rows[] = {
      {8, p::NOPARITY, p::ONESTOPBIT, false, CS8},
      {7, p::EVENPARITY, p::ONESTOPBIT, true, CS7 | PARENB},
      {7, p::ODDPARITY, p::TWOSTOPBITS, true, CS7 | PARENB | PARODD | CSTOPB},
      {6, p::MARKPARITY, p::TWOSTOPBITS, false, CS6 | PARENB | CMSPAR | PARODD | CSTOPB},
      {8, p::SPACEPARITY, p::ONESTOPBIT, false, CS8 | PARENB | CMSPAR},
      {5, p::NOPARITY, p::ONE5STOPBITS, false, CS5 | CSTOPB},
      {5, p::EVENPARITY, p::ONESTOPBIT, true, CS5 | PARENB},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << int(row.byteSize) << "/" << int(row.parity) << "/" << int(row.stopBits));
    DCB dcb = Plain();
    dcb.ByteSize = row.byteSize;
    dcb.Parity = row.parity;
    dcb.StopBits = row.stopBits;
    dcb.fParity = row.checkParity;
    const termios poison = Poisoned();
    termios settings = poison;
    ASSERT_TRUE(x::LineControlToTermios(dcb, &settings));
    EXPECT_EQ(settings.c_cflag & kLineFlags, row.expected);
    EXPECT_EQ(settings.c_cflag & ~kLineFlags, poison.c_cflag & ~kLineFlags);
    EXPECT_EQ((settings.c_iflag & INPCK) != 0, row.checkParity);
    EXPECT_EQ(settings.c_iflag & ~INPCK, poison.c_iflag & ~INPCK);
    EXPECT_EQ(settings.c_oflag, poison.c_oflag);
    EXPECT_EQ(settings.c_lflag, poison.c_lflag);
    EXPECT_EQ(std::memcmp(settings.c_cc, poison.c_cc, sizeof poison.c_cc), 0);

    DCB back{};
    x::LineControlFromTermios(settings, &back);
    EXPECT_EQ(back.ByteSize, row.byteSize);
    EXPECT_EQ(back.Parity, row.parity);
    EXPECT_EQ(back.StopBits, row.stopBits);
    EXPECT_EQ(back.fParity, row.checkParity ? 1u : 0u);
  }
}

TEST(LineControl, WhatNoUartCanSendIsRefusedAndLeftUntouched) {
  const struct {
    BYTE byteSize, parity, stopBits;
  } rows[] = {
      {4, p::NOPARITY, p::ONESTOPBIT},
      {9, p::NOPARITY, p::ONESTOPBIT},
      {0, p::NOPARITY, p::ONESTOPBIT},
      {8, 5, p::ONESTOPBIT},
      {8, 0xFF, p::ONESTOPBIT},
      {8, p::NOPARITY, p::ONE5STOPBITS},
      {6, p::NOPARITY, p::ONE5STOPBITS},
      {5, p::NOPARITY, p::TWOSTOPBITS},
      {8, p::NOPARITY, 3},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << int(row.byteSize) << "/" << int(row.parity) << "/" << int(row.stopBits));
    DCB dcb = Plain();
    dcb.ByteSize = row.byteSize;
    dcb.Parity = row.parity;
    dcb.StopBits = row.stopBits;
    const termios poison = Poisoned();
    termios settings = poison;
    EXPECT_FALSE(x::LineControlToTermios(dcb, &settings));
    EXPECT_TRUE(SameTermios(settings, poison));
  }
}

TEST(FlowControl, HandshakesMapToTheirFlagsAndBack) {
  const struct {
    unsigned ctsFlow, rtsControl, outX, inX;
    tcflag_t cflag, iflag;
  } rows[] = {
      {0, p::RTS_CONTROL_ENABLE, 0, 0, 0, 0},
      {0, p::RTS_CONTROL_DISABLE, 0, 0, 0, 0},
      {1, p::RTS_CONTROL_HANDSHAKE, 0, 0, CRTSCTS, 0},
      {0, p::RTS_CONTROL_ENABLE, 1, 0, 0, IXON},
      {0, p::RTS_CONTROL_ENABLE, 0, 1, 0, IXOFF},
      {1, p::RTS_CONTROL_HANDSHAKE, 1, 1, CRTSCTS, IXON | IXOFF},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.ctsFlow << row.rtsControl << row.outX << row.inX);
    DCB dcb = Plain();
    dcb.fOutxCtsFlow = row.ctsFlow;
    dcb.fRtsControl = row.rtsControl;
    dcb.fOutX = row.outX;
    dcb.fInX = row.inX;
    const termios poison = Poisoned();
    termios settings = poison;
    ASSERT_TRUE(x::FlowControlToTermios(dcb, &settings));
    EXPECT_EQ(settings.c_cflag & CRTSCTS, row.cflag);
    EXPECT_EQ(settings.c_cflag & ~CRTSCTS, poison.c_cflag & ~CRTSCTS);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), row.iflag);
    EXPECT_EQ(settings.c_iflag & ~(IXON | IXOFF), poison.c_iflag & ~(IXON | IXOFF));
    EXPECT_EQ(settings.c_lflag, poison.c_lflag);

    // What termios cannot hold (RTS enabled or disabled) comes back as the
    // DCB had it.
    DCB back = Plain();
    back.fRtsControl =
        row.rtsControl == p::RTS_CONTROL_HANDSHAKE ? p::RTS_CONTROL_ENABLE : row.rtsControl;
    x::FlowControlFromTermios(settings, &back);
    EXPECT_EQ(back.fOutxCtsFlow, row.ctsFlow);
    EXPECT_EQ(back.fRtsControl, row.rtsControl);
    EXPECT_EQ(back.fOutX, row.outX);
    EXPECT_EQ(back.fInX, row.inX);
  }
}

TEST(FlowControl, HandshakesTermiosCannotExpressAreRefused) {
  const struct {
    const char* what;
    void (*set)(DCB&);
  } rows[] = {
      {"DSR flow", [](DCB& d) { d.fOutxDsrFlow = 1; }},
      {"DSR sensitivity", [](DCB& d) { d.fDsrSensitivity = 1; }},
      {"DTR handshake", [](DCB& d) { d.fDtrControl = p::DTR_CONTROL_HANDSHAKE; }},
      {"DTR control 3", [](DCB& d) { d.fDtrControl = 3; }},
      {"RTS toggle", [](DCB& d) { d.fRtsControl = p::RTS_CONTROL_TOGGLE; }},
      {"CTS flow without RTS handshake", [](DCB& d) { d.fOutxCtsFlow = 1; }},
      {"RTS handshake without CTS flow", [](DCB& d) { d.fRtsControl = p::RTS_CONTROL_HANDSHAKE; }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    DCB dcb = Plain();
    row.set(dcb);
    const termios poison = Poisoned();
    termios settings = poison;
    EXPECT_FALSE(x::FlowControlToTermios(dcb, &settings));
    EXPECT_TRUE(SameTermios(settings, poison));
  }
}

TEST(SpecialChars, XonXoffCharactersRoundTrip) {
  DCB dcb = Plain();
  dcb.fOutX = 1;
  dcb.XonChar = 0x01;
  dcb.XoffChar = static_cast<char>(0xFE);
  const termios poison = Poisoned();
  termios settings = poison;
  ASSERT_TRUE(x::SpecialCharsToTermios(dcb, &settings));
  EXPECT_EQ(settings.c_cc[VSTART], 0x01);
  EXPECT_EQ(settings.c_cc[VSTOP], 0xFE);
  termios others = settings;
  others.c_cc[VSTART] = poison.c_cc[VSTART];
  others.c_cc[VSTOP] = poison.c_cc[VSTOP];
  EXPECT_TRUE(SameTermios(others, poison));

  DCB back{};
  x::SpecialCharsFromTermios(settings, &back);
  EXPECT_EQ(back.XonChar, 0x01);
  EXPECT_EQ(back.XoffChar, static_cast<char>(0xFE));
}

TEST(SpecialChars, WhatTheLineDisciplineCannotDoIsRefused) {
  const struct {
    const char* what;
    void (*set)(DCB&);
  } rows[] = {
      {"equal XON and XOFF with XON/XOFF on",
       [](DCB& d) {
         d.fInX = 1;
         d.XoffChar = d.XonChar;
       }},
      {"error replacement", [](DCB& d) { d.fErrorChar = 1; }},
      {"NUL stripping", [](DCB& d) { d.fNull = 1; }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    DCB dcb = Plain();
    row.set(dcb);
    const termios poison = Poisoned();
    termios settings = poison;
    EXPECT_FALSE(x::SpecialCharsToTermios(dcb, &settings));
    EXPECT_TRUE(SameTermios(settings, poison));
  }
  // Equal characters are fine while XON/XOFF is off.
  DCB dcb = Plain();
  dcb.XoffChar = dcb.XonChar;
  termios settings = Poisoned();
  EXPECT_TRUE(x::SpecialCharsToTermios(dcb, &settings));
}

TEST(LineSpeed, OnlyExactStandardRatesGetACode) {
  const struct {
    kavrel::DWORD rate;
    speed_t code;
  } rows[] = {
      {50, B50}, {9600, B9600}, {19200, B19200}, {115200, B115200}, {4000000, B4000000},
      {0, B0},   {9601, B0},    {250000, B0},    {31250, B0},       {0xFFFFFFFFu, B0},
  };
  for (const auto& row : rows)
    EXPECT_EQ(x::LineSpeed::StandardCode(row.rate), row.code) << row.rate;
}

// The line settings' own halves, without a device: a request that the
// device keeps reads back as the DCB asked for, on a UART and on a pty
// (which forces 8 data bits and no parity), whatever the rate.
TEST(LineSettings, AKeptRequestReadsBackAsAsked) {
  const struct {
    x::TtyKind kind;
    kavrel::DWORD rate, deviceRate;
    BYTE byteSize, parity, stopBits;
    unsigned ctsFlow, outX;
  } rows[] = {
      {x::TtyKind::kTty, 9600, 9600, 8, p::NOPARITY, p::ONESTOPBIT, 0, 0},
      {x::TtyKind::kTty, 250000, 249600, 7, p::EVENPARITY, p::TWOSTOPBITS, 1, 0},
      {x::TtyKind::kTty, 31250, 31250, 5, p::MARKPARITY, p::ONE5STOPBITS, 0, 1},
      {x::TtyKind::kPtySlave, 115200, 115200, 7, p::ODDPARITY, p::ONESTOPBIT, 0, 1},
      {x::TtyKind::kPtySlave, 1234567, 1234567, 6, p::SPACEPARITY, p::TWOSTOPBITS, 1, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.rate << " " << int(row.byteSize));
    DCB asked = Plain();
    asked.BaudRate = row.rate;
    asked.ByteSize = row.byteSize;
    asked.Parity = row.parity;
    asked.StopBits = row.stopBits;
    asked.fOutxCtsFlow = row.ctsFlow;
    asked.fRtsControl = row.ctsFlow ? p::RTS_CONTROL_HANDSHAKE : p::RTS_CONTROL_ENABLE;
    asked.fOutX = row.outX;
    const termios atOpen = Poisoned();
    x::LineSettings line(row.kind, atOpen);
    termios wanted = atOpen;
    ASSERT_TRUE(x::LineSettings::Request(asked, &wanted));
    // What the device shows: a pty carries 8 bits without parity.
    termios device = wanted;
    if (row.kind == x::TtyKind::kPtySlave) {
      device.c_cflag = (device.c_cflag & ~(CSIZE | PARENB)) | CS8;
    }
    ASSERT_TRUE(line.Kept(wanted, row.rate, device, row.deviceRate));
    line.Accept(wanted, row.rate, row.deviceRate);
    DCB back = Plain();
    back.fRtsControl = p::RTS_CONTROL_ENABLE;
    line.Describe(device, row.deviceRate, &back);
    EXPECT_EQ(back.BaudRate, row.rate);
    EXPECT_EQ(back.ByteSize, row.byteSize);
    EXPECT_EQ(back.Parity, row.parity);
    EXPECT_EQ(back.StopBits, row.stopBits);
    EXPECT_EQ(back.fOutxCtsFlow, row.ctsFlow);
    EXPECT_EQ(back.fRtsControl, asked.fRtsControl);
    EXPECT_EQ(back.fOutX, row.outX);
    // Once the device runs at another rate, that rate is what it reports.
    line.Describe(device, row.deviceRate + 1000, &back);
    EXPECT_EQ(back.BaudRate, row.deviceRate + 1000);
  }
}

TEST(LineSettings, ADeviceThatDidNotKeepTheRequestIsFound) {
  DCB asked = Plain();
  asked.ByteSize = 7;
  asked.Parity = p::EVENPARITY;
  termios wanted = Poisoned();
  ASSERT_TRUE(x::LineSettings::Request(asked, &wanted));
  termios eightBits = wanted;
  eightBits.c_cflag = (eightBits.c_cflag & ~(CSIZE | PARENB)) | CS8;
  termios noStopBit = wanted;
  noStopBit.c_cflag ^= CSTOPB;
  const x::LineSettings uart(x::TtyKind::kTty, Poisoned());
  const x::LineSettings pty(x::TtyKind::kPtySlave, Poisoned());
  // Only a pty may override the data bits and parity.
  EXPECT_FALSE(uart.Kept(wanted, 9600, eightBits, 9600));
  EXPECT_TRUE(pty.Kept(wanted, 9600, eightBits, 9600));
  EXPECT_FALSE(pty.Kept(wanted, 9600, noStopBit, 9600));
  // A rate within 2 % is kept; beyond it, not.
  EXPECT_TRUE(uart.Kept(wanted, 250000, wanted, 245000));
  EXPECT_FALSE(uart.Kept(wanted, 250000, wanted, 244999));
  EXPECT_FALSE(uart.Kept(wanted, 9600, wanted, 0));
  // A group that refuses leaves the request untouched.
  asked.ByteSize = 9;
  termios untouched = Poisoned();
  EXPECT_FALSE(x::LineSettings::Request(asked, &untouched));
  EXPECT_TRUE(SameTermios(untouched, Poisoned()));
}

TEST(RawMode, ClearsEveryTransformationAndKeepsSpeedStopBitsAndHandshake) {
  termios settings;
  std::memset(&settings, 0xFF, sizeof settings);
  settings.c_cflag = CSTOPB | CRTSCTS | B19200 | CS7 | PARENB | HUPCL;
  const termios before = settings;
  x::MakeRaw(&settings);

  EXPECT_EQ(settings.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                IXOFF | IXANY | IUCLC | IMAXBEL | INPCK),
            0u);
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);
  EXPECT_EQ(settings.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), 0u);
  EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(settings.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(settings.c_cflag & (CSTOPB | CRTSCTS | CBAUD | HUPCL),
            before.c_cflag & (CSTOPB | CRTSCTS | CBAUD | HUPCL));
  EXPECT_EQ(settings.c_cc[VMIN], 1);
  EXPECT_EQ(settings.c_cc[VTIME], 0);
  EXPECT_TRUE(x::IsRaw(settings));
}

TEST(RawMode, AnyOneTransformationLeftOnIsNotRaw) {
  termios raw;
  std::memset(&raw, 0, sizeof raw);
  x::MakeRaw(&raw);
  ASSERT_TRUE(x::IsRaw(raw));
  const struct {
    tcflag_t termios::*field;
    tcflag_t flag;
  } rows[] = {
      {&termios::c_iflag, ICRNL},  {&termios::c_iflag, IXON},  {&termios::c_iflag, ISTRIP},
      {&termios::c_iflag, INLCR},  {&termios::c_oflag, OPOST}, {&termios::c_lflag, ECHO},
      {&termios::c_lflag, ICANON}, {&termios::c_lflag, ISIG},  {&termios::c_lflag, IEXTEN},
  };
  for (const auto& row : rows) {
    termios cooked = raw;
    cooked.*row.field |= row.flag;
    EXPECT_FALSE(x::IsRaw(cooked)) << row.flag;
  }
  termios noReceiver = raw;
  noReceiver.c_cflag &= ~CREAD;
  EXPECT_FALSE(x::IsRaw(noReceiver));
  termios waitsForTwo = raw;
  waitsForTwo.c_cc[VMIN] = 2;
  EXPECT_FALSE(x::IsRaw(waitsForTwo));
}

TEST(DeviceKept, IgnoresOnlyWhatTheCallerSaysTheDriverForces) {
  termios wanted = Poisoned();
  wanted.c_cflag = (wanted.c_cflag & ~(CSIZE | PARENB)) | CS7 | PARENB;
  termios forced = wanted;
  forced.c_cflag = (forced.c_cflag & ~(CSIZE | PARENB)) | CS8;
  EXPECT_FALSE(x::DeviceKept(wanted, forced, 0));
  EXPECT_TRUE(x::DeviceKept(wanted, forced, x::kPtyForcedControlFlags));

  termios noStop = wanted;
  noStop.c_cflag ^= CSTOPB;
  EXPECT_FALSE(x::DeviceKept(wanted, noStop, x::kPtyForcedControlFlags));
  termios otherXon = wanted;
  otherXon.c_cc[VSTART] ^= 1;
  EXPECT_FALSE(x::DeviceKept(wanted, otherXon, x::kPtyForcedControlFlags));
  termios noXoff = wanted;
  noXoff.c_iflag ^= IXOFF;
  EXPECT_FALSE(x::DeviceKept(wanted, noXoff, x::kPtyForcedControlFlags));
}

}  // namespace
