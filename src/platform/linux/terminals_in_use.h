// Ttys the system itself uses as terminals, which a port must never take
// over: the kernel's active consoles, and every tty that is a session's
// controlling terminal (a login terminal, a shell's pty, a getty's line).
// Opening one as a port would switch it to raw mode under its user.
#ifndef KAVREL_PLATFORM_LINUX_TERMINALS_IN_USE_H
#define KAVREL_PLATFORM_LINUX_TERMINALS_IN_USE_H

#include <sys/types.h>

namespace kavrel {
namespace platform {
namespace driver {

// Whether the kernel writes its console to the tty with these numbers: one
// of the ttys /sys/class/tty/console/active lists ("tty0 ttyS0"), where an
// entry that has an active list of its own (tty0: the virtual console in
// front) stands for the tty that list names.
bool IsActiveConsole(dev_t device);

// The session whose controlling terminal the tty with these numbers is: its
// session id (the pid of its leader), or 0 when no process this one can see
// in /proc has it as its controlling terminal. Processes /proc hides (another
// user's, where /proc is mounted with hidepid; another pid namespace's) are
// not seen.
pid_t ControllingSession(dev_t device);

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_TERMINALS_IN_USE_H
