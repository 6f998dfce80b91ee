// A device's deadlines on the I/O thread: a read or write that times out,
// the next look at the modem lines while a wait for them is pending.
//
// The timer is a timerfd the I/O thread watches like any descriptor, armed
// for the earliest deadline its owner has; when that time comes the I/O
// thread calls the owner back. So nothing polls and no thread of its own
// waits: with no deadline the timer is disarmed and costs nothing.
#ifndef KAVREL_PLATFORM_LINUX_DEADLINE_TIMER_H
#define KAVREL_PLATFORM_LINUX_DEADLINE_TIMER_H

#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/linux/fork_safety.h"
#include "platform/linux/io_thread.h"

namespace kavrel {
namespace platform {
namespace driver {

using DeadlineClock = std::chrono::steady_clock;

// No deadline at all.
constexpr DeadlineClock::time_point kNoDeadline = DeadlineClock::time_point::max();

class DeadlineOwner {
 public:
  virtual ~DeadlineOwner() = default;
  // Called on the I/O thread once the armed deadline has passed (perhaps
  // later than asked, never earlier).
  virtual void OnDeadline() = 0;
};

class DeadlineTimer final : public IoClient {
 public:
  // A disarmed timer for owner. ERROR_SUCCESS with *timer set, or why no
  // timer could be had.
  static DWORD Create(std::weak_ptr<DeadlineOwner> owner, std::shared_ptr<DeadlineTimer>* timer);

  DeadlineTimer(int fd, std::weak_ptr<DeadlineOwner> owner);
  ~DeadlineTimer() override;
  DeadlineTimer(const DeadlineTimer&) = delete;
  DeadlineTimer& operator=(const DeadlineTimer&) = delete;

  // IoClient.
  int descriptor() const override { return fd_; }
  void OnReady(std::uint32_t events) override;

  // Both under the owner's lock.
  // Calls the owner back at when (disarms for kNoDeadline); no system call
  // when that is already what the timer waits for.
  void Arm(DeadlineClock::time_point when);
  // The owner has seen its deadline: the timer waits for nothing now.
  void Expired() { armed_ = kNoDeadline; }

 private:
  const int fd_;
  ChildClosedDescriptor tracked_;  // a forked child closes its copy
  const std::weak_ptr<DeadlineOwner> owner_;
  DeadlineClock::time_point armed_ = kNoDeadline;  // under the owner's lock
};

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_DEADLINE_TIMER_H
