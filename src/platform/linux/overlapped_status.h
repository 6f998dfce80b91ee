// The status word of an OVERLAPPED record, as the emulated driver keeps it.
//
// Internal holds kStatusPending while an operation runs and the operation's
// Win32 error code (ERROR_SUCCESS on success) once it has finished;
// InternalHigh holds the count of bytes transferred. The status is written
// last, with release order, and read with acquire order: a thread that sees
// an operation finished also sees its count, its bytes and its event mask,
// even when it only polls the record without a lock.
#ifndef KAVREL_PLATFORM_LINUX_OVERLAPPED_STATUS_H
#define KAVREL_PLATFORM_LINUX_OVERLAPPED_STATUS_H

#include <cstdint>

#include "platform/platform.h"

namespace kavrel {
namespace platform {
namespace driver {

// The value Windows itself keeps there while an operation runs.
constexpr std::uintptr_t kStatusPending = 0x103;

inline std::uintptr_t LoadStatus(const OVERLAPPED* overlapped) {
  return __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
}

inline void StoreStatus(OVERLAPPED* overlapped, std::uintptr_t status) {
  __atomic_store_n(&overlapped->Internal, status, __ATOMIC_RELEASE);
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_OVERLAPPED_STATUS_H
