// Wait blocks: how a thread waits for objects and how a signal reaches only
// the threads that wait for it.
#include "platform/linux/waitable.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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

// A wait block's word: 0 while its wait goes on, 1 once it is released.
using WakeWord = std::atomic<std::uint32_t>;
static_assert(sizeof(WakeWord) == sizeof(std::uint32_t), "a futex word is 32 bits");

void WakeThread(WakeWord* word) {
  // Only the kernel looks at the word here. The waiter may already have
  // seen its release and left, so its block may be gone: a wake-up that
  // finds no sleeper on the address is a no-op, which is why nothing but
  // this call touches the word after the signal lock is released.
  syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Sleeps while the word is 0, until woken or relative (if given) passes;
// may also return early (a signal, a stale wake-up): the caller checks.
void SleepOnWord(WakeWord* word, const timespec* relative) {
  syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, 0, relative, nullptr, 0);
}

// The wake-ups a thread's signal scopes have released and not yet sent.
// Past its capacity a wake-up is sent at once, under the lock: correct, only
// slower.
struct PendingWakeups {
  static constexpr std::size_t kCapacity = 64;
  int depth = 0;
  std::size_t count = 0;
  WakeWord* words[kCapacity];

  void Enter() { ++depth; }
  void Leave() {
    if (--depth != 0) return;
    for (std::size_t i = 0; i < count; ++i) WakeThread(words[i]);
    count = 0;
  }
  void Wake(WakeWord* word) {
    if (depth > 0 && count < kCapacity) {
      words[count++] = word;
    } else {
      WakeThread(word);
    }
  }
};

thread_local PendingWakeups pendingWakeups;

}  // namespace

SignalScope::SignalScope() : lock_(SignalLock()) { pendingWakeups.Enter(); }

SignalScope::~SignalScope() {
  lock_.unlock();
  pendingWakeups.Leave();
}

DeferredWakeups::DeferredWakeups() { pendingWakeups.Enter(); }

DeferredWakeups::~DeferredWakeups() { pendingWakeups.Leave(); }

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

  // Ends the wait with outcome already decided; its thread is woken when
  // the signaller's scope ends.
  void Release() {
    Dequeue();
    released = true;
    ++wakeups;
    word.store(1, std::memory_order_relaxed);
    pendingWakeups.Wake(&word);
  }

  Waitable* const* const objects;
  const DWORD count;
  const WaitKind kind;
  DWORD outcome = WAIT_TIMEOUT;
  bool released = false;
  // What the thread sleeps on; set with released. Only its store and the
  // futex calls touch it, so it needs no lock.
  WakeWord word{0};
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
  const bool timed = timeoutMs != INFINITE;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!block.released) {
    timespec relative{};
    if (timed) {
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) break;
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
      relative.tv_sec = static_cast<time_t>(seconds.count());
      relative.tv_nsec = static_cast<long>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count());
    }
    lock.unlock();
    SleepOnWord(&block.word, timed ? &relative : nullptr);
    lock.lock();
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
