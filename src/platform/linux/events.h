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

  // Both take the board's mutex.
  void Set();
  void Reset();
  // The same as Set, for a caller that already holds the board's mutex.
  void SetLocked() { signalled_ = true; }

 private:
  const bool manualReset_;
  bool signalled_;  // guarded by the board's mutex
};

std::shared_ptr<EventObject> FindEvent(HANDLE handle);

// Called after an operation's final status has been stored in its record:
// signals the operation's event (if it has one) and wakes every waiter,
// including those waiting on the record itself.
void AnnounceCompletion(EventObject* event);

// Blocks until the operation recorded in overlapped is no longer pending.
void WaitForCompletion(const OVERLAPPED* overlapped);

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_EVENTS_H
