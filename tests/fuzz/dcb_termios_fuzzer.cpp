// Fuzz target: the DCB <-> termios mapping, every DCB member and every
// termios field any value. Each setting group must either refuse (and leave
// the termios exactly as it was) or change only the fields it owns, and read
// back what it wrote; raw mode must clear every transformation and keep the
// speed. The same DCB then goes to SetCommState on a pty the fuzzer owns,
// which must take it exactly when every group accepts it and the rate is
// positive, and then report it back; a refused DCB leaves the device's report
// unchanged.
//
// Input: a DCB's bytes, then a termios's bytes.
#include <termios.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "kavrel/types.h"
#include "platform/linux/dcb_termios.h"
#include "platform/platform.h"
#include "support/pty_pair.h"

namespace {

namespace p = kavrel::platform;
namespace x = kavrel::platform::driver;
using kavrel::DCB;
using kavrel_fuzz::FuzzInput;

constexpr tcflag_t kLineControlFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

bool SameTermios(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && a.c_line == b.c_line &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && a.c_ispeed == b.c_ispeed &&
         a.c_ospeed == b.c_ospeed;
}

// Everything but the given flags and control characters is as it was.
bool OnlyChanged(const termios& before, const termios& after, tcflag_t controlFlags,
                 tcflag_t inputFlags, const std::string& characters) {
  termios masked = after;
  masked.c_cflag = (after.c_cflag & ~controlFlags) | (before.c_cflag & controlFlags);
  masked.c_iflag = (after.c_iflag & ~inputFlags) | (before.c_iflag & inputFlags);
  for (const char index : characters) {
    masked.c_cc[static_cast<unsigned char>(index)] = before.c_cc[static_cast<unsigned char>(index)];
  }
  return SameTermios(before, masked);
}

bool LineControlAcceptable(const DCB& dcb) {
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > p::SPACEPARITY) return false;
  if (dcb.StopBits == p::ONESTOPBIT) return true;
  if (dcb.StopBits == p::ONE5STOPBITS) return dcb.ByteSize == 5;
  if (dcb.StopBits == p::TWOSTOPBITS) return dcb.ByteSize != 5;
  return false;
}

bool FlowControlAcceptable(const DCB& dcb) {
  // termios has no DSR flow, no DTR handshake, no RTS toggling, and one flag
  // for RTS/CTS in both directions.
  return dcb.fOutxDsrFlow == 0 && dcb.fDsrSensitivity == 0 &&
         dcb.fDtrControl < p::DTR_CONTROL_HANDSHAKE && dcb.fRtsControl != p::RTS_CONTROL_TOGGLE &&
         (dcb.fRtsControl == p::RTS_CONTROL_HANDSHAKE) == (dcb.fOutxCtsFlow != 0);
}

bool SpecialCharsAcceptable(const DCB& dcb) {
  return dcb.fErrorChar == 0 && dcb.fNull == 0 &&
         !((dcb.fOutX != 0 || dcb.fInX != 0) && dcb.XonChar == dcb.XoffChar);
}

void CheckLineControl(const DCB& dcb, const termios& start) {
  termios settings = start;
  const bool accepted = x::LineControlToTermios(dcb, &settings);
  KAVREL_FUZZ_CHECK(accepted == LineControlAcceptable(dcb));
  if (!accepted) {
    KAVREL_FUZZ_CHECK(SameTermios(settings, start));
    return;
  }
  KAVREL_FUZZ_CHECK(OnlyChanged(start, settings, kLineControlFlags, INPCK, ""));
  DCB back{};
  x::LineControlFromTermios(settings, &back);
  KAVREL_FUZZ_CHECK(back.ByteSize == dcb.ByteSize && back.Parity == dcb.Parity);
  KAVREL_FUZZ_CHECK(back.StopBits == dcb.StopBits && back.fParity == dcb.fParity);
}

void CheckFlowControl(const DCB& dcb, const termios& start) {
  termios settings = start;
  const bool accepted = x::FlowControlToTermios(dcb, &settings);
  KAVREL_FUZZ_CHECK(accepted == FlowControlAcceptable(dcb));
  if (!accepted) {
    KAVREL_FUZZ_CHECK(SameTermios(settings, start));
    return;
  }
  KAVREL_FUZZ_CHECK(OnlyChanged(start, settings, CRTSCTS, IXON | IXOFF, ""));
  DCB back = dcb;
  x::FlowControlFromTermios(settings, &back);
  KAVREL_FUZZ_CHECK(back.fOutxCtsFlow == dcb.fOutxCtsFlow && back.fRtsControl == dcb.fRtsControl);
  KAVREL_FUZZ_CHECK(back.fOutX == dcb.fOutX && back.fInX == dcb.fInX);
}

void CheckSpecialChars(const DCB& dcb, const termios& start) {
  termios settings = start;
  const bool accepted = x::SpecialCharsToTermios(dcb, &settings);
  KAVREL_FUZZ_CHECK(accepted == SpecialCharsAcceptable(dcb));
  if (!accepted) {
    KAVREL_FUZZ_CHECK(SameTermios(settings, start));
    return;
  }
  KAVREL_FUZZ_CHECK(OnlyChanged(start, settings, 0, 0, std::string{VSTART, VSTOP}));
  DCB back{};
  x::SpecialCharsFromTermios(settings, &back);
  KAVREL_FUZZ_CHECK(back.XonChar == dcb.XonChar && back.XoffChar == dcb.XoffChar);
}

void CheckRawMode(const termios& start) {
  termios raw = start;
  x::MakeRaw(&raw);
  KAVREL_FUZZ_CHECK((raw.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN)) == 0);
  KAVREL_FUZZ_CHECK((raw.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP | PARMRK)) == 0);
  KAVREL_FUZZ_CHECK((raw.c_oflag & OPOST) == 0);
  KAVREL_FUZZ_CHECK((raw.c_cflag & (CSIZE | PARENB)) == CS8 && (raw.c_cflag & CREAD) != 0);
  KAVREL_FUZZ_CHECK(raw.c_cc[VMIN] == 1 && raw.c_cc[VTIME] == 0);
  // Speed, stop bits and the RTS/CTS handshake stay as they were.
  KAVREL_FUZZ_CHECK(cfgetospeed(&raw) == cfgetospeed(&start));
  KAVREL_FUZZ_CHECK((raw.c_cflag & (CSTOPB | CRTSCTS)) == (start.c_cflag & (CSTOPB | CRTSCTS)));
  termios again = raw;
  x::MakeRaw(&again);
  KAVREL_FUZZ_CHECK(SameTermios(again, raw));
  KAVREL_FUZZ_CHECK(x::DeviceKept(start, start, 0));
}

// The fuzzer's own pty, opened once as a port.
kavrel::HANDLE Port() {
  static kavrel_test::PtyPair* const pair = new kavrel_test::PtyPair;
  static const kavrel::HANDLE port =
      pair->ok()
          ? p::CreateFileA(("\\\\.\\" + pair->name()).c_str(), p::GENERIC_READ | p::GENERIC_WRITE,
                           0, nullptr, p::OPEN_EXISTING, p::FILE_FLAG_OVERLAPPED, 0)
          : kavrel::INVALID_HANDLE_VALUE;
  return port;
}

void CheckOnThePty(const DCB& requested) {
  const kavrel::HANDLE port = Port();
  if (port == kavrel::INVALID_HANDLE_VALUE) return;
  DCB before{};
  KAVREL_FUZZ_CHECK(p::GetCommState(port, &before));
  DCB dcb = requested;
  const bool accepted = p::SetCommState(port, &dcb) != p::FALSE;
  const bool acceptable = dcb.BaudRate != 0 && LineControlAcceptable(dcb) &&
                          FlowControlAcceptable(dcb) && SpecialCharsAcceptable(dcb);
  KAVREL_FUZZ_CHECK(accepted == acceptable);
  DCB after{};
  KAVREL_FUZZ_CHECK(p::GetCommState(port, &after));
  if (!accepted) {
    KAVREL_FUZZ_CHECK(p::GetLastError() == p::ERROR_INVALID_PARAMETER);
    KAVREL_FUZZ_CHECK(std::memcmp(&after, &before, sizeof after) == 0);
    return;
  }
  // A pty is a virtual wire: it reports the rate and framing asked for.
  KAVREL_FUZZ_CHECK(after.BaudRate == dcb.BaudRate);
  KAVREL_FUZZ_CHECK(after.ByteSize == dcb.ByteSize && after.Parity == dcb.Parity);
  KAVREL_FUZZ_CHECK(after.StopBits == dcb.StopBits && after.fParity == dcb.fParity);
  KAVREL_FUZZ_CHECK(after.fOutxCtsFlow == dcb.fOutxCtsFlow && after.fRtsControl == dcb.fRtsControl);
  KAVREL_FUZZ_CHECK(after.fOutX == dcb.fOutX && after.fInX == dcb.fInX);
  KAVREL_FUZZ_CHECK(after.XonChar == dcb.XonChar && after.XoffChar == dcb.XoffChar);
  // Members termios cannot hold come back as they were set.
  KAVREL_FUZZ_CHECK(after.fDtrControl == dcb.fDtrControl && after.XonLim == dcb.XonLim);
  KAVREL_FUZZ_CHECK(after.XoffLim == dcb.XoffLim && after.EofChar == dcb.EofChar);
  KAVREL_FUZZ_CHECK(after.EvtChar == dcb.EvtChar && after.ErrorChar == dcb.ErrorChar);
  KAVREL_FUZZ_CHECK(after.fBinary == 1 && after.DCBlength == sizeof(DCB));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  DCB dcb;
  input.Bytes(&dcb, sizeof dcb);
  termios start;
  input.Bytes(&start, sizeof start);

  CheckLineControl(dcb, start);
  CheckFlowControl(dcb, start);
  CheckSpecialChars(dcb, start);
  CheckRawMode(start);
  CheckOnThePty(dcb);
  return 0;
}
