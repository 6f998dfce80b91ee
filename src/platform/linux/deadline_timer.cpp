#include "platform/linux/deadline_timer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/linux/retry_on_interrupt.h"
#include "platform/linux/system_errors.h"

namespace kavrel {
namespace platform {
namespace driver {

// steady_clock is CLOCK_MONOTONIC, which the timer runs on, so a time point
// converts to the timer's absolute time as it is.
static_assert(DeadlineClock::is_steady, "deadlines need a monotonic clock");

DWORD DeadlineTimer::Create(std::weak_ptr<DeadlineOwner> owner,
                            std::shared_ptr<DeadlineTimer>* timer) {
  ForkHeldOff heldOff;  // until the descriptor is tracked
  const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (fd < 0) return ErrorWhileOpening(errno);
  timer->reset(new (std::nothrow) DeadlineTimer(fd, std::move(owner)));
  if (*timer == nullptr) {
    close(fd);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return ERROR_SUCCESS;
}

DeadlineTimer::DeadlineTimer(int fd, std::weak_ptr<DeadlineOwner> owner)
    : fd_(fd), owner_(std::move(owner)) {
  tracked_.Track(fd);
}

DeadlineTimer::~DeadlineTimer() {
  ForkHeldOff heldOff;
  tracked_.Untrack();
  close(fd_);
}

void DeadlineTimer::OnReady(std::uint32_t /*events*/) {
  // Reading takes the expiry, so the descriptor stops polling readable; a
  // timer re-armed since it fired has nothing to read, which is fine: the
  // owner judges its deadlines by the clock, not by this.
  std::uint64_t expiries = 0;
  (void)!RetryOnInterrupt([&] { return read(fd_, &expiries, sizeof expiries); });
  if (std::shared_ptr<DeadlineOwner> owner = owner_.lock()) owner->OnDeadline();
}

void DeadlineTimer::Arm(DeadlineClock::time_point when) {
  if (when == armed_) return;
  itimerspec setting{};
  if (when != kNoDeadline) {
    const auto since = when.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    setting.it_value.tv_sec = static_cast<time_t>(seconds.count());
    setting.it_value.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    // All zero would disarm: a deadline at the clock's very start is long
    // past, so the earliest moment the timer can name does as well.
    if (setting.it_value.tv_sec == 0 && setting.it_value.tv_nsec == 0) setting.it_value.tv_nsec = 1;
  }
  // Only a bad descriptor or value fails here, neither of which this timer
  // makes; armed_ then keeps the old value and the next Arm tries again.
  if (timerfd_settime(fd_, TFD_TIMER_ABSTIME, &setting, nullptr) == 0) armed_ = when;
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
