// The fork() handlers of the emulated driver, the descriptors a forked
// child closes, and the process generation.
#include "platform/linux/fork_safety.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <new>

#include "host/handler_slot.h"
#include "platform/linux/events.h"
#include "platform/linux/handle_table.h"
#include "platform/linux/io_thread.h"
#include "platform/linux/waitable.h"
#include "platform/platform.h"

namespace kavrel {
namespace platform {

namespace driver {

// The device descriptors open now, in a list threaded through their owners.
class TrackedDescriptors {
 public:
  void Link(ChildClosedDescriptor* entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entry->previous_ = nullptr;
    entry->next_ = first_;
    if (first_ != nullptr) first_->previous_ = entry;
    first_ = entry;
  }

  void Unlink(ChildClosedDescriptor* entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    (entry->previous_ != nullptr ? entry->previous_->next_ : first_) = entry->next_;
    if (entry->next_ != nullptr) entry->next_->previous_ = entry->previous_;
    entry->previous_ = nullptr;
    entry->next_ = nullptr;
  }

  void HoldForFork() { mutex_.lock(); }
  void ReleaseAfterFork() { mutex_.unlock(); }

  // The child's copies are closed; their owners are never used again in the
  // child, so the list simply starts empty.
  void CloseAllInChild() {
    for (ChildClosedDescriptor* entry = first_; entry != nullptr; entry = entry->next_) {
      close(entry->fd_);
    }
    first_ = nullptr;
    mutex_.unlock();
  }

 private:
  std::mutex mutex_;
  ChildClosedDescriptor* first_ = nullptr;
};

namespace {

// Opens and closes of device descriptors pass through it side by side; a
// fork closes it, waits until none is inside, and keeps it closed across
// fork() so that none starts meanwhile.
class ForkGate {
 public:
  void Enter() {
    std::unique_lock<std::mutex> lock(mutex_);
    reopened_.wait(lock, [this] { return !forking_; });
    ++inside_;
  }

  void Leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--inside_ == 0 && forking_) emptied_.notify_one();
  }

  // Returns with the gate's lock held.
  void CloseForFork() {
    std::unique_lock<std::mutex> lock(mutex_);
    forking_ = true;
    emptied_.wait(lock, [this] { return inside_ == 0; });
    lock.release();
  }

  void ReopenInParent() {
    forking_ = false;
    mutex_.unlock();
    reopened_.notify_all();
  }

  // Threads of the parent that were waiting to enter did not come along;
  // the conditions start without them.
  void ReopenInChild() {
    forking_ = false;
    new (&reopened_) std::condition_variable();
    new (&emptied_) std::condition_variable();
    mutex_.unlock();
  }

 private:
  std::mutex mutex_;
  std::condition_variable reopened_;
  std::condition_variable emptied_;
  std::size_t inside_ = 0;
  bool forking_ = false;
};

// Both never destroyed: a detached thread may still close a device while
// the process exits.
ForkGate& Gate() {
  static ForkGate* const gate = new ForkGate;
  return *gate;
}

TrackedDescriptors& Tracked() {
  static TrackedDescriptors* const tracked = new TrackedDescriptors;
  return *tracked;
}

std::atomic<unsigned> generation{0};

// The locks are taken in an order no other path nests them against: the I/O
// thread's (whose stop waits for device closes, which pass the gate), the
// gate, then locks that nothing holds while waiting for another.
void PrepareFork() {
  IoThread::Process().HoldForFork();
  Gate().CloseForFork();
  Tracked().HoldForFork();
  HandleTable::Process().HoldForFork();
  HoldSignalsForFork();
  host::HoldHooksForFork();
}

void ResumeParent() {
  host::ReleaseHooksAfterFork(false);
  ReleaseSignalsAfterFork();
  HandleTable::Process().ReleaseAfterFork();
  Tracked().ReleaseAfterFork();
  Gate().ReopenInParent();
  IoThread::Process().ReleaseAfterFork();
}

void StartChild() {
  generation.fetch_add(1);
  host::ReleaseHooksAfterFork(true);
  ForgetEventlessWaiters();
  ResetSignalsInChild();
  HandleTable::Process().ResetInChild();
  Tracked().CloseAllInChild();
  Gate().ReopenInChild();
  IoThread::Process().ResetInChild();
}

// Installed when the library is loaded; glibc removes the handlers of a
// module that is unloaded.
const bool forkHandlersInstalled = pthread_atfork(PrepareFork, ResumeParent, StartChild) == 0;

}  // namespace

namespace {
// How many ForkHeldOff this thread holds: one nested in another (a failed
// open closing what it opened) must not wait for a fork that waits for the
// outer one.
thread_local unsigned heldOffDepth = 0;
}  // namespace

ForkHeldOff::ForkHeldOff() {
  if (heldOffDepth++ == 0) Gate().Enter();
}

ForkHeldOff::~ForkHeldOff() {
  if (--heldOffDepth == 0) Gate().Leave();
}

void ChildClosedDescriptor::Track(int fd) {
  fd_ = fd;
  Tracked().Link(this);
}

void ChildClosedDescriptor::Untrack() { Tracked().Unlink(this); }

}  // namespace driver

unsigned ProcessGeneration() { return driver::generation.load(); }

}  // namespace platform
}  // namespace kavrel
