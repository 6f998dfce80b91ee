// Event objects, and how a finished overlapped operation is announced.
#ifndef KAVREL_PLATFORM_LINUX_EVENTS_H
#define KAVREL_PLATFORM_LINUX_EVENTS_H

#include <memory>

#include "platform/linux/waitable.h"

namespace kavrel {
namespace platform {
namespace driver {

class EventObject final : public Waitable {
 public:
  EventObject(bool manualReset, bool signalled)
      : Waitable(ObjectKind::kEvent), manualReset_(manualReset), signalled_(signalled) {}

  bool IsSignalled() const override { return signalled_; }
  void Consume() override {
    if (!manualReset_) signalled_ = false;
  }
  // Completions of operations on this event are then announced to waiters
  // on records without an event as well: a waiter can no longer find this
  // event through the record's handle.
  void OnHandleClosed() override;

  // Both take the signal lock.
  void Set();
  void Reset();
  // The same as Set, within a SignalScope the caller holds.
  void SetLocked();

  // Whether the handle is closed; with the signal lock held.
  bool handleClosed() const { return handleClosed_; }

 private:
  const bool manualReset_;
  bool signalled_;             // guarded by the signal lock
  bool handleClosed_ = false;  // guarded by the signal lock
};

std::shared_ptr<EventObject> FindEvent(HANDLE handle);

// Called after an operation's final status has been stored in its record:
// signals the operation's event (if it has one), which wakes the threads
// waiting on that event, including those waiting for the record itself.
void AnnounceCompletion(EventObject* event);

// Blocks until the operation recorded in overlapped is no longer pending.
// The waiter sleeps on the record's event and is woken each time that event
// is set; a record without an event (or whose event handle has been closed)
// is waited for on one process-wide announcement that every such completion
// makes, so those waiters alone still wake for one another's completions.
void WaitForCompletion(const OVERLAPPED* overlapped);

// With the signal lock held, in a forked child: forgets the threads of the
// parent that were waiting for completions without an event.
void ForgetEventlessWaiters();

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_EVENTS_H
