// Storage for a host-installed text handler that outlives every caller.
#ifndef KAVREL_PLATFORM_HANDLER_SLOT_H
#define KAVREL_PLATFORM_HANDLER_SLOT_H

#include <memory>
#include <mutex>

#include "kavrel/host.h"

namespace kavrel {
namespace host {

// The library's unload line is traced from a destructor that can run at
// process exit, after other static objects are gone. A slot is therefore
// created on first use and never destroyed. The handler is copied out under
// the lock and called outside it, so a handler may itself install a new one.
class HandlerSlot {
 public:
  void Set(TextHandler handler) {
    auto fresh = handler ? std::make_shared<TextHandler>(std::move(handler)) : nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    handler_.swap(fresh);
  }
  std::shared_ptr<TextHandler> Get() {
    std::lock_guard<std::mutex> lock(mutex_);
    return handler_;
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<TextHandler> handler_;
};

}  // namespace host
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_HANDLER_SLOT_H
