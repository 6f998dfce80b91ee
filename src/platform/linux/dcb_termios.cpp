#include "platform/linux/dcb_termios.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

constexpr tcflag_t kDataBitsFlags[] = {CS5, CS6, CS7, CS8};
constexpr BYTE kFewestDataBits = 5;
constexpr BYTE kMostDataBits = 8;
// What a line discipline does to bytes on their way in, and locally.
constexpr tcflag_t kCookedInputFlags = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                       IXON | IXOFF | IXANY | IUCLC | IMAXBEL | INPCK;
constexpr tcflag_t kCookedLocalFlags =
    ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | NOFLSH | TOSTOP;

bool Refuse(const char** refusal, const char* rule) {
  if (refusal != nullptr) *refusal = rule;
  return false;
}

}  // namespace

bool LineControlToTermios(const DCB& dcb, termios* settings, const char** refusal) {
  if (dcb.ByteSize < kFewestDataBits || dcb.ByteSize > kMostDataBits) {
    return Refuse(refusal, "data bits must be 5 to 8");
  }
  switch (dcb.StopBits) {
    case ONESTOPBIT:
      break;
    case ONE5STOPBITS:
      if (dcb.ByteSize != 5) return Refuse(refusal, "1.5 stop bits need 5 data bits");
      break;
    case TWOSTOPBITS:
      if (dcb.ByteSize == 5) return Refuse(refusal, "2 stop bits need 6 to 8 data bits");
      break;
    default:
      return Refuse(refusal, "unknown stop bits");
  }
  tcflag_t parity;
  switch (dcb.Parity) {
    case NOPARITY:
      parity = 0;
      break;
    case ODDPARITY:
      parity = PARENB | PARODD;
      break;
    case EVENPARITY:
      parity = PARENB;
      break;
    case MARKPARITY:
      parity = PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      parity = PARENB | CMSPAR;
      break;
    default:
      return Refuse(refusal, "unknown parity");
  }
  tcflag_t control = settings->c_cflag & ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  control |= kDataBitsFlags[dcb.ByteSize - kFewestDataBits] | parity;
  if (dcb.StopBits != ONESTOPBIT) control |= CSTOPB;
  settings->c_cflag = control;
  if (dcb.fParity) {
    settings->c_iflag |= INPCK;
  } else {
    settings->c_iflag &= ~INPCK;
  }
  return true;
}

void LineControlFromTermios(const termios& settings, DCB* dcb) {
  switch (settings.c_cflag & CSIZE) {
    case CS5:
      dcb->ByteSize = 5;
      break;
    case CS6:
      dcb->ByteSize = 6;
      break;
    case CS7:
      dcb->ByteSize = 7;
      break;
    default:
      dcb->ByteSize = 8;
      break;
  }
  const tcflag_t control = settings.c_cflag;
  if ((control & PARENB) == 0) {
    dcb->Parity = NOPARITY;
  } else if ((control & CMSPAR) != 0) {
    dcb->Parity = (control & PARODD) != 0 ? MARKPARITY : SPACEPARITY;
  } else {
    dcb->Parity = (control & PARODD) != 0 ? ODDPARITY : EVENPARITY;
  }
  if ((control & CSTOPB) == 0) {
    dcb->StopBits = ONESTOPBIT;
  } else {
    dcb->StopBits = dcb->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  }
  dcb->fParity = (settings.c_iflag & INPCK) != 0 ? 1 : 0;
}

bool FlowControlToTermios(const DCB& dcb, termios* settings, const char** refusal) {
  if (dcb.fOutxDsrFlow || dcb.fDsrSensitivity) {
    return Refuse(refusal, "DSR flow control is not available");
  }
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE || dcb.fDtrControl > DTR_CONTROL_HANDSHAKE) {
    return Refuse(refusal, "DTR handshaking is not available");
  }
  if (dcb.fRtsControl == RTS_CONTROL_TOGGLE)
    return Refuse(refusal, "RTS toggling is not available");
  const bool rtsHandshake = dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
  if (rtsHandshake != (dcb.fOutxCtsFlow != 0)) {
    return Refuse(refusal, "RTS/CTS flow control works both ways or not at all");
  }

  if (rtsHandshake) {
    settings->c_cflag |= CRTSCTS;
  } else {
    settings->c_cflag &= ~CRTSCTS;
  }
  tcflag_t input = settings->c_iflag & ~(IXON | IXOFF);
  if (dcb.fOutX) input |= IXON;
  if (dcb.fInX) input |= IXOFF;
  settings->c_iflag = input;
  return true;
}

void FlowControlFromTermios(const termios& settings, DCB* dcb) {
  if ((settings.c_cflag & CRTSCTS) != 0) {
    dcb->fOutxCtsFlow = 1;
    dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
  } else {
    dcb->fOutxCtsFlow = 0;
    // The line's RTS is then what the DCB last chose; a handshake that is no
    // longer on leaves RTS raised, as the driver left it.
    if (dcb->fRtsControl == RTS_CONTROL_HANDSHAKE) dcb->fRtsControl = RTS_CONTROL_ENABLE;
  }
  dcb->fOutxDsrFlow = 0;
  dcb->fDsrSensitivity = 0;
  dcb->fOutX = (settings.c_iflag & IXON) != 0 ? 1 : 0;
  dcb->fInX = (settings.c_iflag & IXOFF) != 0 ? 1 : 0;
}

bool SpecialCharsToTermios(const DCB& dcb, termios* settings, const char** refusal) {
  if (dcb.fErrorChar || dcb.fNull) {
    return Refuse(refusal, "replacing error bytes or dropping NUL bytes is not available");
  }
  if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) {
    return Refuse(refusal, "the XON and XOFF characters must differ");
  }
  settings->c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  settings->c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  return true;
}

void SpecialCharsFromTermios(const termios& settings, DCB* dcb) {
  dcb->XonChar = static_cast<char>(settings.c_cc[VSTART]);
  dcb->XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
  dcb->fErrorChar = 0;
  dcb->fNull = 0;
}

void MakeRaw(termios* settings) {
  settings->c_iflag &= ~kCookedInputFlags;
  settings->c_oflag &= ~OPOST;
  settings->c_lflag &= ~kCookedLocalFlags;
  settings->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR);
  settings->c_cflag |= CS8 | CREAD | CLOCAL;
  // One byte satisfies a read; with O_NONBLOCK an empty queue then answers
  // EAGAIN, never 0, so a 0 from read() can only mean the line hung up.
  settings->c_cc[VMIN] = 1;
  settings->c_cc[VTIME] = 0;
}

bool IsRaw(const termios& settings) {
  return (settings.c_iflag & kCookedInputFlags) == 0 && (settings.c_oflag & OPOST) == 0 &&
         (settings.c_lflag & kCookedLocalFlags) == 0 && (settings.c_cflag & CREAD) != 0 &&
         (settings.c_cflag & CLOCAL) != 0 && settings.c_cc[VMIN] == 1 && settings.c_cc[VTIME] == 0;
}

bool DeviceKept(const termios& wanted, const termios& actual, tcflag_t ignored) {
  const tcflag_t control = kDecidedControlFlags & ~ignored;
  return (wanted.c_cflag & control) == (actual.c_cflag & control) &&
         (wanted.c_iflag & kDecidedInputFlags) == (actual.c_iflag & kDecidedInputFlags) &&
         wanted.c_cc[VSTART] == actual.c_cc[VSTART] && wanted.c_cc[VSTOP] == actual.c_cc[VSTOP];
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
