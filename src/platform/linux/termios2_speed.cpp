#include "platform/linux/termios2_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstring>

#include "platform/linux/retry_on_interrupt.h"

namespace kavrel {
namespace platform {
namespace driver {

static_assert(sizeof(termios2) <= sizeof(LineSnapshot::bytes), "a snapshot holds a termios2");
static_assert(NCCS == kKernelControlChars, "the kernel's control characters");

bool ApplyWithCustomSpeed(int fd, const LineFields& fields, DWORD rate) {
  termios2 settings{};
  settings.c_iflag = fields.iflag;
  settings.c_oflag = fields.oflag;
  settings.c_lflag = fields.lflag;
  settings.c_line = fields.line;
  std::memcpy(settings.c_cc, fields.cc, sizeof settings.c_cc);
  // An input speed field of zero means "as the output", so one rate is set
  // for both directions.
  settings.c_cflag = (fields.cflag & ~(CBAUD | CIBAUD)) | BOTHER;
  settings.c_ospeed = rate;
  settings.c_ispeed = rate;
  return RetryOnInterrupt([&] { return ioctl(fd, TCSETS2, &settings); }) == 0;
}

bool ReadOutputRate(int fd, DWORD* rate) {
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  // The kernel keeps c_ospeed in step with a Bxxx code too, so it is the
  // rate whichever way the speed was set.
  *rate = settings.c_ospeed;
  return true;
}

bool SaveLine(int fd, LineSnapshot* snapshot) {
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  std::memcpy(snapshot->bytes, &settings, sizeof settings);
  return true;
}

bool RestoreLine(int fd, const LineSnapshot& snapshot) {
  termios2 settings{};
  std::memcpy(&settings, snapshot.bytes, sizeof settings);
  return RetryOnInterrupt([&] { return ioctl(fd, TCSETS2, &settings); }) == 0;
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
