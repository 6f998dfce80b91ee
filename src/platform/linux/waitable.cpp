// Wait blocks: how a thread waits for objects and how a signal reaches only
// the threads that wait for it.
#include "platform/linux/waitable.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>

#include "platform/testing.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

// What the tests observe, guarded by the signal lock: the waiting threads
// woken by a signal so far, and the threads asleep in a wait now.
std::uint64_t wakeups = 0;
std::size_t sleepingWaiters = 0;

}  // namespace

// The wait of one thread; it lives on the waiting thread's stack for the
// length of the call. Every field is guarded by the signal lock.
struct WaitBlock {
  WaitBlock(Waitable* const* objects, DWORD count, WaitKind kind)
      : objects(objects), count(count), kind(kind) {}

  // Takes the objects if the wait is satisfied now: for a wait for any, the
  // lowest signalled one; for a wait for all, every one together or none.
  bool TrySatisfy() {
    if (kind == WaitKind::kAny) {
      for (DWORD i = 0; i < count; ++i) {
        if (objects[i]->IsSignalled()) {
          objects[i]->Consume();
          outcome = WAIT_OBJECT_0 + i;
          return true;
        }
      }
      return false;
    }
    if (kind == WaitKind::kAll) {
      for (DWORD i = 0; i < count; ++i) {
        if (!objects[i]->IsSignalled()) return false;
      }
      for (DWORD i = 0; i < count; ++i) objects[i]->Consume();
      outcome = WAIT_OBJECT_0;
      return true;
    }
    return false;
  }

  // Joins the back of every object's queue.
  void Enqueue() {
    for (DWORD i = 0; i < count; ++i) {
      WaitLink& link = links[i];
      Waitable& object = *objects[i];
      link.block = this;
      link.index = i;
      link.previous = object.last_;
      link.next = nullptr;
      if (object.last_ != nullptr) {
        object.last_->next = &link;
      } else {
        object.first_ = &link;
      }
      object.last_ = &link;
    }
  }

  void Dequeue() {
    for (DWORD i = 0; i < count; ++i) {
      WaitLink& link = links[i];
      Waitable& object = *objects[i];
      (link.previous != nullptr ? link.previous->next : object.first_) = link.next;
      (link.next != nullptr ? link.next->previous : object.last_) = link.previous;
    }
  }

  // Ends the wait with outcome already decided and wakes its thread.
  void Release() {
    Dequeue();
    released = true;
    ++wakeups;
    wake.notify_one();
  }

  Waitable* const* const objects;
  const DWORD count;
  const WaitKind kind;
  DWORD outcome = WAIT_TIMEOUT;
  bool released = false;
  std::condition_variable wake;
  WaitLink links[kMaximumWaitObjects];
};

std::mutex& SignalLock() {
  static std::mutex* const lock = new std::mutex;
  return *lock;
}

void Waitable::ReleaseWaiters() {
  // The last link that stays queued; the walk goes on after it. Releasing a
  // block unlinks all of its links, but never this one: a block with two
  // links here (a wait for any that names this object twice) is released at
  // its first link or at neither.
  WaitLink* kept = nullptr;
  WaitLink* link = first_;
  while (link != nullptr) {
    WaitBlock& block = *link->block;
    if (block.kind == WaitKind::kChange) {
      block.outcome = WAIT_OBJECT_0;
      block.Release();
    } else if (IsSignalled() && block.TrySatisfy()) {
      block.Release();
    } else {
      kept = link;
    }
    link = kept != nullptr ? kept->next : first_;
  }
}

DWORD WaitFor(std::unique_lock<std::mutex>& lock, Waitable* const* objects, DWORD count,
              WaitKind kind, DWORD timeoutMs) {
  WaitBlock block(objects, count, kind);
  if (block.TrySatisfy()) return block.outcome;
  if (timeoutMs == 0) return WAIT_TIMEOUT;

  block.Enqueue();
  ++sleepingWaiters;
  const auto released = [&block] { return block.released; };
  if (timeoutMs == INFINITE) {
    block.wake.wait(lock, released);
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    block.wake.wait_until(lock, deadline, released);
  }
  --sleepingWaiters;
  // A block released by a signaller is already out of every queue; one that
  // timed out is still in them.
  if (!block.released) block.Dequeue();
  return block.outcome;
}

void HoldSignalsForFork() { SignalLock().lock(); }

void ReleaseSignalsAfterFork() { SignalLock().unlock(); }

void ResetSignalsInChild() {
  sleepingWaiters = 0;
  SignalLock().unlock();
}

}  // namespace driver

namespace testing {

std::uint64_t WaitWakeups() {
  std::lock_guard<std::mutex> lock(driver::SignalLock());
  return driver::wakeups;
}

std::size_t SleepingWaiters() {
  std::lock_guard<std::mutex> lock(driver::SignalLock());
  return driver::sleepingWaiters;
}

}  // namespace testing

}  // namespace platform
}  // namespace kavrel
