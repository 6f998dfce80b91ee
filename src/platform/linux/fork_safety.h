// fork() without exec: the child starts with no ports.
//
// A forked child inherits a copy of every descriptor and of all memory, but
// only the thread that called fork(). Left alone, the child's copies of the
// device descriptors would keep the ports' locks (the parent could not
// reopen its own port while any child lived), its copy of the I/O thread's
// epoll set is the parent's own set, and locks held at that moment by the
// parent's other threads would stay held for ever. So the library takes its
// process-wide locks before fork() (in one order, so the copy is whole),
// releases them in the parent, and in the child:
// - closes every device descriptor the library had open, so that only the
//   parent holds its ports, and the I/O thread's epoll set and wake-up
//   descriptor;
// - forgets what belonged to threads that did not come along: the I/O
//   thread is "not running" (a port the child opens starts its own), the
//   handle table keeps no live handle (an inherited handle fails with
//   ERROR_INVALID_HANDLE and is never handed out again), nobody waits;
// - counts one more process generation, so objects that hold handles notice
//   that they crossed a fork (ProcessGeneration in platform.h).
// The parent notices nothing beyond the short wait for those locks.
//
// What the child handler relies on: it allocates nothing and frees nothing.
// It closes descriptors, unlocks the mutexes its prepare step took, and
// overwrites a few plain fields. The objects the child inherits (devices,
// events, threads) are never destroyed there: their destructors would join
// threads that do not exist and give up port settings that are the
// parent's. They stay reachable from the handle table, unused.
#ifndef KAVREL_PLATFORM_LINUX_FORK_SAFETY_H
#define KAVREL_PLATFORM_LINUX_FORK_SAFETY_H

#include <mutex>
#include <shared_mutex>

namespace kavrel {
namespace platform {
namespace driver {

// Holds fork() off while a device descriptor is being opened and tracked, or
// untracked and closed, so that no child inherits a descriptor the library
// does not know of. Opens and closes of different ports do not wait for one
// another.
class ForkHeldOff {
 public:
  ForkHeldOff();
  ~ForkHeldOff();
  ForkHeldOff(const ForkHeldOff&) = delete;
  ForkHeldOff& operator=(const ForkHeldOff&) = delete;
};

// A device descriptor that a forked child closes. Its owner tracks it from
// its open to its close, each under a ForkHeldOff; the tracker lives inside
// the owner, so tracking allocates nothing.
class ChildClosedDescriptor {
 public:
  ChildClosedDescriptor() = default;
  ChildClosedDescriptor(const ChildClosedDescriptor&) = delete;
  ChildClosedDescriptor& operator=(const ChildClosedDescriptor&) = delete;

  void Track(int fd);
  void Untrack();

 private:
  friend class TrackedDescriptors;

  int fd_ = -1;
  ChildClosedDescriptor* previous_ = nullptr;
  ChildClosedDescriptor* next_ = nullptr;
};

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_FORK_SAFETY_H
