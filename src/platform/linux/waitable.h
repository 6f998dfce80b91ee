// Objects a thread can wait for, and the one lock and condition that every
// wait of the process sleeps on.
//
// All signal state (event flags, thread completion, the status word of an
// overlapped record) changes under the signal board's mutex, and every change
// wakes every sleeper, who then re-checks its own condition. One board for
// the process keeps waits on several objects of different kinds trivially
// correct; the library has a handful of waiters, so waking them all costs
// nothing that matters.
//
// Lock order: a device's mutex may be held while taking the board's mutex,
// never the reverse.
#ifndef KAVREL_PLATFORM_LINUX_WAITABLE_H
#define KAVREL_PLATFORM_LINUX_WAITABLE_H

#include <condition_variable>
#include <mutex>

#include "platform/linux/handle_table.h"

namespace kavrel {
namespace platform {
namespace driver {

struct SignalBoard {
  std::mutex mutex;
  std::condition_variable changed;

  // Never destroyed: a detached thread may still finish after exit begins.
  static SignalBoard& Process();
};

class Waitable : public KernelObject {
 public:
  using KernelObject::KernelObject;

  // Both are called with the board's mutex held.
  virtual bool IsSignalled() const = 0;
  // A wait that is satisfied by this object takes it; an auto-reset event
  // clears itself here so that it releases exactly one waiter.
  virtual void Consume() {}
};

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_WAITABLE_H
