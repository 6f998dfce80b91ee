#include "platform/linux/handle_table.h"

#include "platform/testing.h"

namespace kavrel {
namespace platform {
namespace driver {

namespace {

constexpr std::uint32_t kSlotMask = 0xFFFFu;
constexpr int kGenerationShift = 16;

HANDLE Encode(std::uint32_t slot, std::uint16_t generation) {
  return (static_cast<std::uint32_t>(generation) << kGenerationShift) | (slot + 1);
}

}  // namespace

HandleTable& HandleTable::Process() {
  static HandleTable* const table = new HandleTable;
  return *table;
}

HANDLE HandleTable::Insert(std::shared_ptr<KernelObject> object) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint32_t slot;
  if (!freeSlots_.empty()) {
    slot = freeSlots_.front();
    freeSlots_.pop_front();
  } else if (slots_.size() < kMaxSlots) {
    slot = static_cast<std::uint32_t>(slots_.size());
    slots_.emplace_back();
  } else {
    return kNoHandle;
  }
  slots_[slot].object = std::move(object);
  ++live_;
  return Encode(slot, slots_[slot].generation);
}

const HandleTable::Slot* HandleTable::Locate(HANDLE handle) const {
  const std::uint32_t low = handle & kSlotMask;
  if (low == 0 || low > slots_.size()) return nullptr;
  const Slot& slot = slots_[low - 1];
  if (slot.object == nullptr || slot.retired || slot.generation != (handle >> kGenerationShift)) {
    return nullptr;
  }
  return &slot;
}

std::shared_ptr<KernelObject> HandleTable::Find(HANDLE handle) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Slot* slot = Locate(handle);
  return slot != nullptr ? slot->object : nullptr;
}

std::shared_ptr<KernelObject> HandleTable::Remove(HANDLE handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Locate(handle) == nullptr) return nullptr;
  const std::uint32_t index = (handle & kSlotMask) - 1;
  Slot& slot = slots_[index];
  std::shared_ptr<KernelObject> object = std::move(slot.object);
  slot.object.reset();
  ++slot.generation;
  freeSlots_.push_back(index);
  --live_;
  return object;
}

std::size_t HandleTable::LiveCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return live_;
}

void HandleTable::HoldForFork() { mutex_.lock(); }

void HandleTable::ReleaseAfterFork() { mutex_.unlock(); }

void HandleTable::ResetInChild() {
  // A retired slot is in no free list, so nothing of the child reuses it.
  for (Slot& slot : slots_) {
    if (slot.object != nullptr) slot.retired = true;
  }
  live_ = 0;
  mutex_.unlock();
}

}  // namespace driver

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<driver::KernelObject> object = driver::HandleTable::Process().Remove(handle);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->OnHandleClosed();
  return TRUE;
}

namespace testing {

std::size_t LiveHandleCount() { return driver::HandleTable::Process().LiveCount(); }

}  // namespace testing

}  // namespace platform
}  // namespace kavrel
