// The one way the emulated driver repeats a system call that a signal
// interrupted: a host may catch signals without SA_RESTART, and no call of
// the driver should fail or report a spurious outcome because of that.
#ifndef KAVREL_PLATFORM_LINUX_RETRY_ON_INTERRUPT_H
#define KAVREL_PLATFORM_LINUX_RETRY_ON_INTERRUPT_H

#include <cerrno>

namespace kavrel {
namespace platform {
namespace driver {

// Runs call, a system call that answers -1 with errno set on failure, until
// it is not interrupted (EINTR); returns its last answer with errno intact.
template <typename Call>
auto RetryOnInterrupt(Call call) -> decltype(call()) {
  for (;;) {
    const auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_RETRY_ON_INTERRUPT_H
