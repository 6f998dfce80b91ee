// Line speeds the standard Bxxx codes cannot name, through termios2.
//
// The kernel's <asm/termbits.h> defines its own struct termios, which clashes
// with the C library's <termios.h>; so the termios2 calls live in a
// translation unit of their own and this header includes neither. A custom
// rate is only ever set with BOTHER through TCSETS2: the C library's
// tcsetattr cannot carry the rate itself.
#ifndef KAVREL_PLATFORM_LINUX_TERMIOS2_SPEED_H
#define KAVREL_PLATFORM_LINUX_TERMIOS2_SPEED_H

#include <cstdint>

#include "platform/platform.h"

namespace kavrel {
namespace platform {
namespace driver {

// The kernel's control characters; the C library's array is longer but
// starts with the same ones in the same places.
constexpr int kKernelControlChars = 19;

// A line's settings apart from its speed, in the layout both headers share.
struct LineFields {
  std::uint32_t iflag = 0;
  std::uint32_t oflag = 0;
  std::uint32_t cflag = 0;
  std::uint32_t lflag = 0;
  std::uint8_t line = 0;
  std::uint8_t cc[kKernelControlChars] = {};
};

// Applies fields with the rate as a custom speed (BOTHER), in one request,
// so the line never runs with half of the new settings. False with errno set
// when the device refuses the request.
bool ApplyWithCustomSpeed(int fd, const LineFields& fields, DWORD rate);

// The output rate in bits per second as the device reports it: for a custom
// speed the rate itself, for a Bxxx code the rate it stands for.
bool ReadOutputRate(int fd, DWORD* rate);

// Everything the kernel holds for a line, custom speed included, so a
// refused change can be undone exactly.
struct LineSnapshot {
  alignas(8) unsigned char bytes[64];
};
bool SaveLine(int fd, LineSnapshot* snapshot);
bool RestoreLine(int fd, const LineSnapshot& snapshot);

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_TERMIOS2_SPEED_H
