#include "host/handler_slot.h"
#include "host/host_services.h"

namespace kavrel {
namespace host {

namespace {

struct MessageBoxTag;

}  // namespace

HandlerSlot& MessageBoxSlot() { return Immortal<HandlerSlot, MessageBoxTag>(); }

void ShowMessageBox(const char* gbkText) {
  try {
    auto handler = MessageBoxSlot().Get();
    if (handler) {
      (*handler)(gbkText);
      return;
    }
    DefaultMessageBox(gbkText);
  } catch (...) {
    // The user notice is best effort; the operation that raised it goes on.
  }
}

}  // namespace host

void SetMessageBoxHandler(TextHandler handler) { host::MessageBoxSlot().Set(std::move(handler)); }

}  // namespace kavrel
