#include "termios2_probe.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace kavrel_platform_test {

bool ReadKernelSpeed(int fd, KernelSpeed* speed) {
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  speed->outputRate = settings.c_ospeed;
  speed->custom = (settings.c_cflag & CBAUD) == BOTHER;
  return true;
}

}  // namespace kavrel_platform_test
