#include "platform/linux/system_errors.h"

#include <cerrno>

namespace kavrel {
namespace platform {
namespace driver {

namespace {

struct ErrnoRow {
  int error;
  DWORD whileOpening;
  DWORD onOpenDevice;
};

// EWOULDBLOCK is what flock answers when another open holds the lock, and
// EBUSY what open answers when another open set TIOCEXCL: both mean the port
// is someone else's. Running out of descriptors, epoll watches or memory is
// one condition however it shows, so it reads the same wherever it happens.
constexpr ErrnoRow kErrnoTable[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND, ERROR_GEN_FAILURE},
    {ENOTDIR, ERROR_FILE_NOT_FOUND, ERROR_GEN_FAILURE},
    {ENXIO, ERROR_FILE_NOT_FOUND, ERROR_DEVICE_NOT_CONNECTED},
    {ENODEV, ERROR_FILE_NOT_FOUND, ERROR_DEVICE_NOT_CONNECTED},
    {EIO, ERROR_FILE_NOT_FOUND, ERROR_DEVICE_NOT_CONNECTED},
    {EACCES, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {EBUSY, ERROR_ACCESS_DENIED, ERROR_GEN_FAILURE},
    {EWOULDBLOCK, ERROR_ACCESS_DENIED, ERROR_GEN_FAILURE},
    {ELOOP, ERROR_INVALID_NAME, ERROR_GEN_FAILURE},
    {ENAMETOOLONG, ERROR_INVALID_NAME, ERROR_GEN_FAILURE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {EMFILE, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {ENFILE, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {ENOSPC, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
};

const ErrnoRow* Find(int error) {
  for (const ErrnoRow& row : kErrnoTable) {
    if (row.error == error) return &row;
  }
  return nullptr;
}

}  // namespace

DWORD ErrorWhileOpening(int error) {
  const ErrnoRow* row = Find(error);
  return row != nullptr ? row->whileOpening : ERROR_GEN_FAILURE;
}

DWORD ErrorOnOpenDevice(int error) {
  const ErrnoRow* row = Find(error);
  return row != nullptr ? row->onOpenDevice : ERROR_GEN_FAILURE;
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel
