// Test-build hooks of the platform layer. Compiled only with
// KAVREL_FAULT_INJECTION (the default and sanitizer presets); a release
// build has none of them.
#ifndef KAVREL_PLATFORM_TESTING_H
#define KAVREL_PLATFORM_TESTING_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kavrel {
namespace platform {
namespace testing {

// The next CreateThread / CreateEventA call fails (returns the empty handle)
// as if the system were out of resources. Each switch fires once.
void FailNextThreadCreation();
void FailNextEventCreation();
// The next ListSerialPorts cannot reach the system's device list (udev,
// SetupAPI), as if it were out of memory. Fires once.
void FailNextPortDiscovery();

// Live handles in the handle table (devices, events, threads). Windows builds
// answer 0: the kernel owns the handles there.
std::size_t LiveHandleCount();

#if !defined(_WIN32)
// The emulated waits (on Windows the kernel owns them). WaitWakeups counts
// the waiting threads a signal has woken since the process started: a
// signal wakes only threads whose wait it ends. SleepingWaiters is the
// number of threads asleep in a wait right now.
std::uint64_t WaitWakeups();
std::size_t SleepingWaiters();
// Where the open's console check reads the kernel's tty class
// (/sys/class/tty): a test points it at a tree of its own, with a
// console/active list and a NAME/dev entry per tty it lists. Empty restores
// the real one.
void SetTtyClassDirectory(const std::string& path);
#endif

}  // namespace testing
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_TESTING_H
