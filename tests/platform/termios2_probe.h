// The line speed as the kernel holds it, read through termios2 in a file of
// its own (its header clashes with <termios.h>), independently of the
// library's own reading.
#ifndef KAVREL_TESTS_PLATFORM_TERMIOS2_PROBE_H
#define KAVREL_TESTS_PLATFORM_TERMIOS2_PROBE_H

namespace kavrel_platform_test {

struct KernelSpeed {
  unsigned outputRate = 0;
  bool custom = false;  // set with BOTHER rather than a Bxxx code
};

bool ReadKernelSpeed(int fd, KernelSpeed* speed);

}  // namespace kavrel_platform_test

#endif  // KAVREL_TESTS_PLATFORM_TERMIOS2_PROBE_H
