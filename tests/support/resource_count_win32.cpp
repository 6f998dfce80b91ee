// What a process holds on Windows: kernel handles and threads.
// <tlhelp32.h> builds on <windows.h>, which types.h includes, so the order
// of these two must stay.
// clang-format off
#include "kavrel/types.h"
#include <tlhelp32.h>
// clang-format on

#include "platform/testing.h"
#include "support/resource_count.h"

namespace kavrel_test {

std::size_t OpenDescriptorCount() {
  DWORD count = 0;
  return ::GetProcessHandleCount(::GetCurrentProcess(), &count) ? count : 0;
}

std::size_t ThreadCount() {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  const DWORD self = ::GetCurrentProcessId();
  std::size_t count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Thread32First(snapshot, &entry); more;
       more = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  ::CloseHandle(snapshot);
  return count;
}

ResourceSnapshot ResourceSnapshot::Take() {
  return {OpenDescriptorCount(), ThreadCount(), kavrel::platform::testing::LiveHandleCount()};
}

}  // namespace kavrel_test
