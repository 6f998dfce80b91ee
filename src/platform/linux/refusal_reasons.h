// The words a refused open is explained in, as a host shows them to its user
// (kavrel::GetLastErrorReason). Every check that refuses for the same cause
// uses the same text, so a user reads one cause one way.
#ifndef KAVREL_PLATFORM_LINUX_REFUSAL_REASONS_H
#define KAVREL_PLATFORM_LINUX_REFUSAL_REASONS_H

#include <sys/types.h>
#include <unistd.h>

#include <string>

namespace kavrel {
namespace platform {
namespace driver {

constexpr char kNotASerialPort[] = "not a serial port";
constexpr char kSystemConsole[] = "the system console";
constexpr char kTerminalInUse[] = "a terminal in use";
constexpr char kInUseByAnotherProgram[] = "in use by another program";
constexpr char kOpenInThisProgram[] = "already open in this program";

// "reason (pid N)".
inline std::string NamingProcess(const char* reason, pid_t pid) {
  return std::string(reason) + " (pid " + std::to_string(pid) + ")";
}

// Who holds a port, as a user reads it: this program, another program with
// its pid, or another program that cannot be named (pid 0).
inline std::string HeldBy(pid_t holder) {
  if (holder == 0) return kInUseByAnotherProgram;
  if (holder == getpid()) return kOpenInThisProgram;
  return NamingProcess(kInUseByAnotherProgram, holder);
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_REFUSAL_REASONS_H
