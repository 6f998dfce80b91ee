// Objects a thread can wait for, and waits that wake only their own waiters.
//
// A waiting thread keeps a wait block on its stack and links it into the
// wait queue of every object it waits on. Whoever signals an object walks
// that object's queue in arrival order and releases the blocks the object
// now satisfies: it takes the objects for the waiter (an auto-reset event
// clears itself there, so it releases exactly one waiter), unlinks the
// block from every queue, records which object released it and wakes that
// one thread through the block's own futex word. A host with many idle
// waiters therefore pays only for the objects that are signalled.
//
// Signal state (event flags, thread completion) and every wait queue change
// under one short process-wide lock, the signal lock. It is never held
// across a blocking call other than a waiter's own sleep, which releases
// it. A waiter checks its objects and links its block under the lock, and
// a signaller changes state and walks the queue under the same lock, so no
// signal can fall between a check and the sleep.
//
// A released thread is woken only once the signaller has let go of the
// signal lock (see SignalScope), and, where the signaller also holds a
// device's mutex, once it has let go of that too (see DeferredWakeups): a
// woken thread that at once needs either lock finds it free instead of
// falling asleep again on it, which on a small machine costs more than the
// wake-up itself.
//
// Lock order: a device's mutex may be held while taking the signal lock,
// never the reverse.
#ifndef KAVREL_PLATFORM_LINUX_WAITABLE_H
#define KAVREL_PLATFORM_LINUX_WAITABLE_H

#include <mutex>

#include "platform/linux/handle_table.h"

namespace kavrel {
namespace platform {
namespace driver {

// The most objects one wait may name, as on Windows.
constexpr DWORD kMaximumWaitObjects = 64;

// Never destroyed: a detached thread may still signal after exit begins.
std::mutex& SignalLock();

// Holds the signal lock while a signal state changes. The threads it
// releases are woken when it ends, after the lock is released.
class SignalScope {
 public:
  SignalScope();
  ~SignalScope();
  SignalScope(const SignalScope&) = delete;
  SignalScope& operator=(const SignalScope&) = delete;

 private:
  std::unique_lock<std::mutex> lock_;
};

// Holds back the wake-ups of every signal scope this thread ends while it
// lives, to its own end. Declared before a device's mutex is taken, in a
// call that never waits while it holds the mutex, so that a thread woken by
// a completion finds the device free.
class DeferredWakeups {
 public:
  DeferredWakeups();
  ~DeferredWakeups();
  DeferredWakeups(const DeferredWakeups&) = delete;
  DeferredWakeups& operator=(const DeferredWakeups&) = delete;
};

struct WaitBlock;

// One place of a wait block in one object's wait queue.
struct WaitLink {
  WaitBlock* block = nullptr;
  DWORD index = 0;  // the object's position in the wait's list
  WaitLink* previous = nullptr;
  WaitLink* next = nullptr;
};

class Waitable : public KernelObject {
 public:
  using KernelObject::KernelObject;

  // Both are called with the signal lock held.
  virtual bool IsSignalled() const = 0;
  // A wait that is satisfied by this object takes it; an auto-reset event
  // clears itself here so that it releases exactly one waiter.
  virtual void Consume() {}

  // Within a SignalScope, after the object's state changed: releases the
  // waits it now satisfies, oldest first, and every wait for a change.
  void ReleaseWaiters();

  // With the signal lock held, in a forked child: forgets the waits queued
  // here, which belonged to threads that did not come along.
  void ForgetWaiters() {
    first_ = nullptr;
    last_ = nullptr;
  }

 private:
  friend struct WaitBlock;

  // The queue of waits, oldest first; guarded by the signal lock.
  WaitLink* first_ = nullptr;
  WaitLink* last_ = nullptr;
};

enum class WaitKind {
  kAny,     // released by the first of its objects to be signalled
  kAll,     // released when all of its objects are signalled at once
  kChange,  // released by the next ReleaseWaiters of its one object
};

// fork() (fork_safety.h): the signal lock is held across it. In the child
// nobody waits: before the child's reset releases the lock, the waits of the
// parent's threads are forgotten (ForgetWaiters) wherever the child can
// still reach them.
void HoldSignalsForFork();
void ReleaseSignalsAfterFork();
void ResetSignalsInChild();

// What WaitForMultipleObjects does once its handles are resolved: blocks
// until the wait is satisfied or timeoutMs passes (0: only checks; INFINITE:
// no time-out). Called and returns with the signal lock held by lock.
// Answers WAIT_OBJECT_0 + the index of the object that released the wait
// (WAIT_OBJECT_0 for kAll and kChange) or WAIT_TIMEOUT. A kChange wait never
// ends at once: the caller checks what it waits for under the lock first.
DWORD WaitFor(std::unique_lock<std::mutex>& lock, Waitable* const* objects, DWORD count,
              WaitKind kind, DWORD timeoutMs);

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_WAITABLE_H
