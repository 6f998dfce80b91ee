#include "platform/linux/line_settings.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/linux/dcb_termios.h"
#include "platform/linux/retry_on_interrupt.h"
#include "platform/linux/system_errors.h"
#include "platform/linux/termios2_speed.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

struct SpeedCode {
  DWORD rate;
  speed_t code;
};

constexpr SpeedCode kStandardSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// How far a device may round a rate and still count as keeping it: about
// the error a UART tolerates before it misreads frames.
constexpr std::uint64_t kRateToleranceDivisor = 50;  // 2 %

int ReadLine(int fd, termios* line) {
  return RetryOnInterrupt([&] { return tcgetattr(fd, line); });
}

}  // namespace

speed_t LineSpeed::StandardCode(DWORD rate) {
  for (const SpeedCode& speed : kStandardSpeeds) {
    if (speed.rate == rate) return speed.code;
  }
  return B0;
}

bool LineSpeed::Keeps(DWORD requested, DWORD actual) {
  const std::uint64_t difference = requested > actual ? requested - actual : actual - requested;
  return difference * kRateToleranceDivisor <= requested;
}

void LineSpeed::ToLine(int fd, termios wanted, DWORD rate) {
  // A separate input rate left over from earlier settings would otherwise
  // survive the change.
  wanted.c_cflag &= ~CIBAUD;
  const speed_t code = StandardCode(rate);
  if (code != B0) {
    cfsetispeed(&wanted, code);
    cfsetospeed(&wanted, code);
    RetryOnInterrupt([&] { return tcsetattr(fd, TCSANOW, &wanted); });
    return;
  }
  // Never BOTHER through tcsetattr: the C library's request cannot carry the
  // rate itself.
  LineFields fields;
  fields.iflag = wanted.c_iflag;
  fields.oflag = wanted.c_oflag;
  fields.cflag = wanted.c_cflag;
  fields.lflag = wanted.c_lflag;
  fields.line = wanted.c_line;
  std::memcpy(fields.cc, wanted.c_cc, sizeof fields.cc);
  ApplyWithCustomSpeed(fd, fields, rate);
}

bool LineSpeed::FromLine(int fd, DWORD* actual) { return ReadOutputRate(fd, actual); }

void LineSpeed::Record(DWORD requested, DWORD actual) {
  requested_ = requested;
  actual_ = actual;
}

DWORD LineSpeed::Reported(DWORD actual) const {
  return requested_ != 0 && actual == actual_ ? requested_ : actual;
}

LineSettings::LineSettings(TtyKind kind, const termios& atOpen)
    : pty_(kind == TtyKind::kPtySlave), ptyFraming_(atOpen.c_cflag & kPtyFramingFlags) {}

bool LineSettings::Request(const DCB& dcb, termios* line) {
  termios wanted = *line;
  if (!LineControlToTermios(dcb, &wanted) || !FlowControlToTermios(dcb, &wanted) ||
      !SpecialCharsToTermios(dcb, &wanted)) {
    return false;
  }
  *line = wanted;
  return true;
}

const char* LineSettings::Refusal(const DCB& dcb) {
  if (dcb.BaudRate == 0) return "the baud rate must be above 0";
  termios scratch{};
  const char* rule = nullptr;
  if (!LineControlToTermios(dcb, &scratch, &rule) || !FlowControlToTermios(dcb, &scratch, &rule) ||
      !SpecialCharsToTermios(dcb, &scratch, &rule)) {
    return rule;
  }
  return "the device cannot run with them";
}

bool LineSettings::Kept(const termios& wanted, DWORD requestedRate, const termios& actual,
                        DWORD actualRate) const {
  return DeviceKept(wanted, actual, pty_ ? kPtyForcedControlFlags : 0) &&
         LineSpeed::Keeps(requestedRate, actualRate);
}

void LineSettings::Accept(const termios& wanted, DWORD requestedRate, DWORD actualRate) {
  if (pty_) ptyFraming_ = wanted.c_cflag & kPtyFramingFlags;
  speed_.Record(requestedRate, actualRate);
}

void LineSettings::Describe(const termios& device, DWORD actualRate, DCB* dcb) const {
  termios framing = device;
  if (pty_) framing.c_cflag = (device.c_cflag & ~kPtyFramingFlags) | ptyFraming_;
  LineControlFromTermios(framing, dcb);
  FlowControlFromTermios(device, dcb);
  SpecialCharsFromTermios(device, dcb);
  dcb->BaudRate = speed_.Reported(actualRate);
}

DWORD LineSettings::Apply(int fd, const DCB& dcb) {
  if (dcb.BaudRate == 0) return ERROR_INVALID_PARAMETER;
  termios wanted{};
  if (ReadLine(fd, &wanted) != 0) return ErrorOnOpenDevice(errno);
  if (!Request(dcb, &wanted)) return ERROR_INVALID_PARAMETER;
  LineSnapshot before{};
  if (!SaveLine(fd, &before)) return ErrorOnOpenDevice(errno);

  // The C library's tcsetattr reports failure when a request changed
  // nothing the device shows, which is what a pty answers to data bits and
  // parity it overrides; and it reports success when any part took. Neither
  // answer says whether the line now runs as asked, so only the device's own
  // account read back here decides.
  LineSpeed::ToLine(fd, wanted, dcb.BaudRate);
  termios actual{};
  DWORD actualRate = 0;
  if (ReadLine(fd, &actual) != 0 || !LineSpeed::FromLine(fd, &actualRate)) {
    const int error = errno;
    RestoreLine(fd, before);
    return ErrorOnOpenDevice(error);
  }
  if (!Kept(wanted, dcb.BaudRate, actual, actualRate)) {
    RestoreLine(fd, before);
    return ERROR_INVALID_PARAMETER;
  }
  Accept(wanted, dcb.BaudRate, actualRate);
  return ERROR_SUCCESS;
}

DWORD LineSettings::Read(int fd, DCB* dcb) const {
  termios device{};
  DWORD actualRate = 0;
  if (ReadLine(fd, &device) != 0 || !LineSpeed::FromLine(fd, &actualRate)) {
    return ErrorOnOpenDevice(errno);
  }
  Describe(device, actualRate, dcb);
  return ERROR_SUCCESS;
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
