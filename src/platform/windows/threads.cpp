// Thread creation: kernel32's own threads, behind the test build's fault
// switch. The listener is ended cooperatively (see src/serial/listener.cpp);
// nothing here terminates a thread.
#include "platform/platform.h"
#include "platform/fault_injection.h"

namespace kavrel {
namespace platform {

HANDLE CreateThread(std::nullptr_t, std::size_t stackSize, ThreadRoutine routine, void* argument,
                    DWORD flags, std::nullptr_t) {
  if (platform::TakeThreadCreationFault()) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // ThreadRoutine is DWORD WINAPI (void*): kernel32's own routine type.
  return ::CreateThread(nullptr, stackSize, routine, argument, flags, nullptr);
}

}  // namespace platform
}  // namespace kavrel
