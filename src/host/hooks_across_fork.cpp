// The host hooks across fork() without exec. The child keeps every hook the
// host set: the handlers and the main window are the host's, and fork()
// copies them with the rest of its memory. What the child must not inherit
// is a lock held by a thread that did not come along.
#include "host/handler_slot.h"

namespace kavrel {
namespace host {

void HoldHooksForFork() {
  TraceSlot().HoldForFork();
  MessageBoxSlot().HoldForFork();
}

void ReleaseHooksAfterFork(bool inChild) {
  MessageBoxSlot().ReleaseAfterFork();
  TraceSlot().ReleaseAfterFork();
  if (inChild) {
    // A post runs host code with the main window's lock held shared, and
    // may itself fork, so that lock is not taken before fork(). A post
    // running on another thread at that moment left its hold in the child's
    // copy, where that thread does not exist: the child's lock starts free.
    // The window pointer is a single aligned word, written only under the
    // exclusive lock, so the copy holds either the old or the new window.
    new (&MainWindow().mutex) std::shared_mutex();
  }
}

}  // namespace host
}  // namespace kavrel
