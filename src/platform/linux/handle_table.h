// The process-wide table that turns 32-bit handles into kernel objects.
//
// A handle is never a file descriptor: it names a slot of this table plus the
// slot's generation, so a handle that was closed can never reach whatever
// object reuses its slot later. Objects are held by shared_ptr, which keeps
// an object alive for a call in progress even when another thread closes its
// handle meanwhile.
#ifndef KAVREL_PLATFORM_LINUX_HANDLE_TABLE_H
#define KAVREL_PLATFORM_LINUX_HANDLE_TABLE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace kavrel {
namespace platform {
namespace driver {

enum class ObjectKind { kEvent, kThread, kDevice };

// What a handle refers to: an event, a thread or an open device.
class KernelObject {
 public:
  explicit KernelObject(ObjectKind kind) : kind_(kind) {}
  virtual ~KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  ObjectKind kind() const { return kind_; }

  // Runs once, on the thread that closed the object's handle, after the
  // handle has left the table. Each object has exactly one handle.
  virtual void OnHandleClosed() {}

 private:
  const ObjectKind kind_;
};

class HandleTable {
 public:
  // Most slots a table can hold: the slot number sits in the low 16 bits of a
  // handle, offset by one, and stops short of 0xFFFF so that no handle can be
  // INVALID_HANDLE_VALUE.
  static constexpr std::size_t kMaxSlots = 0xFFFE;

  // The table every Win32-named call uses. Never destroyed, so a thread that
  // is still running at process exit cannot reach a dead table.
  static HandleTable& Process();

  HandleTable() = default;
  HandleTable(const HandleTable&) = delete;
  HandleTable& operator=(const HandleTable&) = delete;

  // The new handle, or kNoHandle when every slot is taken.
  HANDLE Insert(std::shared_ptr<KernelObject> object);
  // The object, or null for a closed, stale or unknown handle.
  std::shared_ptr<KernelObject> Find(HANDLE handle) const;
  // The same, as the derived type, or null when the object is of another
  // kind. Cast under the lock, so the caller's reference is the only one
  // taken (every device call makes a lookup or two).
  template <typename T>
  std::shared_ptr<T> Find(HANDLE handle, ObjectKind kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Slot* slot = Locate(handle);
    if (slot == nullptr || slot->object->kind() != kind) return nullptr;
    return std::static_pointer_cast<T>(slot->object);
  }
  // Takes the object out of the table; null when the handle is not live.
  std::shared_ptr<KernelObject> Remove(HANDLE handle);
  std::size_t LiveCount() const;

  // fork() (fork_safety.h): the lock is held across it so the child's copy is
  // whole. In the child every handle the parent had is retired: it fails as
  // invalid, and its slot is never handed out again, so no inherited handle
  // can name an object of the child. The objects stay in their slots,
  // unused: the child never runs their close or their destructor.
  void HoldForFork();
  void ReleaseAfterFork();
  void ResetInChild();

 private:
  struct Slot {
    std::uint16_t generation = 0;
    bool retired = false;  // held an object when the process forked into this one
    std::shared_ptr<KernelObject> object;
  };

  // The slot a live handle names, or null.
  const Slot* Locate(HANDLE handle) const;

  mutable std::mutex mutex_;
  std::vector<Slot> slots_;
  // Freed slots are reused oldest first, so a slot's generation advances as
  // slowly as possible and a stale handle stays invalid for a long time.
  std::deque<std::uint32_t> freeSlots_;
  std::size_t live_ = 0;
};

// The object behind a handle if it is of the given kind, else null.
template <typename T>
std::shared_ptr<T> FindObject(HANDLE handle, ObjectKind kind) {
  return HandleTable::Process().Find<T>(handle, kind);
}

}  // namespace driver
}  // namespace platform
}  // namespace kavrel

#endif  // KAVREL_PLATFORM_LINUX_HANDLE_TABLE_H
