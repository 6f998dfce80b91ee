// Handles: never a recycled object, never 0 or INVALID_HANDLE_VALUE, and an
// object in use survives the close of its handle.
#include "platform/linux/handle_table.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/platform.h"
#include "platform/testing.h"

namespace {

namespace p = kavrel::platform;
using p::driver::HandleTable;
using p::driver::KernelObject;
using p::driver::ObjectKind;

std::shared_ptr<KernelObject> NewObject() {
  return std::make_shared<KernelObject>(ObjectKind::kEvent);
}

TEST(HandleTable, ClosedHandleFindsNothingEvenAfterItsSlotIsReused) {
  HandleTable table;
  auto first = NewObject();
  const kavrel::HANDLE old = table.Insert(first);
  ASSERT_EQ(table.Remove(old), first);
  auto second = NewObject();
  const kavrel::HANDLE reused = table.Insert(second);
  EXPECT_NE(reused, old);
  EXPECT_EQ(table.Find(old), nullptr);
  EXPECT_EQ((table.Find<KernelObject>(old, ObjectKind::kEvent)), nullptr);
  EXPECT_EQ(table.Remove(old), nullptr);
  EXPECT_EQ(table.Find(reused), second);
  // The typed look-up answers only for the object's own kind.
  EXPECT_EQ((table.Find<KernelObject>(reused, ObjectKind::kEvent)), second);
  EXPECT_EQ((table.Find<KernelObject>(reused, ObjectKind::kDevice)), nullptr);
  EXPECT_EQ(table.LiveCount(), 1u);
}

TEST(HandleTable, OneSlotCycledManyTimesNeverRepeatsAHandle) {
  HandleTable table;
  std::set<kavrel::HANDLE> seen;
  for (int i = 0; i < 5000; ++i) {
    const kavrel::HANDLE handle = table.Insert(NewObject());
    ASSERT_TRUE(seen.insert(handle).second) << "cycle " << i;
    ASSERT_NE(table.Remove(handle), nullptr);
  }
  EXPECT_EQ(table.LiveCount(), 0u);
}

TEST(HandleTable, AFullTableHandsOutNeitherEmptyNorInvalidValues) {
  HandleTable table;
  std::set<kavrel::HANDLE> seen;
  for (std::size_t i = 0; i < HandleTable::kMaxSlots; ++i) {
    const kavrel::HANDLE handle = table.Insert(NewObject());
    ASSERT_NE(handle, p::kNoHandle);
    ASSERT_NE(handle, kavrel::INVALID_HANDLE_VALUE);
    ASSERT_TRUE(seen.insert(handle).second);
  }
  EXPECT_EQ(table.Insert(NewObject()), p::kNoHandle);
  EXPECT_EQ(table.LiveCount(), HandleTable::kMaxSlots);
  // The values with no slot behind them find nothing.
  EXPECT_EQ(table.Find(p::kNoHandle), nullptr);
  EXPECT_EQ(table.Find(kavrel::INVALID_HANDLE_VALUE), nullptr);
}

TEST(HandleTable, AnObjectInUseOutlivesTheCloseOfItsHandle) {
  HandleTable table;
  std::weak_ptr<KernelObject> watch;
  std::shared_ptr<KernelObject> inUse;
  {
    auto object = NewObject();
    watch = object;
    const kavrel::HANDLE handle = table.Insert(std::move(object));
    inUse = table.Find(handle);
    ASSERT_NE(table.Remove(handle), nullptr);
  }
  EXPECT_FALSE(watch.expired());
  inUse.reset();
  EXPECT_TRUE(watch.expired());
}

TEST(CloseHandle, RefusesClosedAndMadeUpHandles) {
  const std::size_t before = p::testing::LiveHandleCount();
  const kavrel::HANDLE event = p::CreateEventA(nullptr, p::TRUE, p::FALSE, nullptr);
  ASSERT_NE(event, p::kNoHandle);
  EXPECT_EQ(p::testing::LiveHandleCount(), before + 1);
  EXPECT_TRUE(p::CloseHandle(event));
  EXPECT_EQ(p::testing::LiveHandleCount(), before);

  for (kavrel::HANDLE bad : {event, p::kNoHandle, kavrel::INVALID_HANDLE_VALUE,
                             static_cast<kavrel::HANDLE>(event ^ 0x10000u)}) {
    p::SetLastError(p::ERROR_SUCCESS);
    EXPECT_FALSE(p::CloseHandle(bad)) << bad;
    EXPECT_EQ(p::GetLastError(), p::ERROR_INVALID_HANDLE) << bad;
    EXPECT_FALSE(p::SetEvent(bad)) << bad;
  }
  EXPECT_EQ(p::testing::LiveHandleCount(), before);
}

}  // namespace
