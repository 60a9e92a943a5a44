// The per-thread spare block behind each call's reply and result: a wrong hand-out (a block of
// another size, one still in use, one kept past its thread) is a heap fault the sanitizers see.
#include "embedding/recycled_storage.h"
#include "embedding/address_sanitizer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <thread>

namespace {

struct Small : flutter::internal::RecycledStorage<Small> {
  uint64_t word = 1;
};

// Bigger than Small: must never be given Small's spare, nor leave its own there.
struct Bigger : Small {
  uint64_t more[8] = {};
};

TEST(RecycledStorageTest, ReusesOnlyWhatFitsAndOnlyWhenFree) {
  auto first = std::make_unique<Small>();
  const void* const first_block = first.get();
  auto second = std::make_unique<Small>();  // the first is in use: a block of its own
  EXPECT_NE(static_cast<const void*>(second.get()), first_block);
  first.reset();  // now the thread's spare

  auto bigger = std::make_unique<Bigger>();  // does not fit the spare
  EXPECT_NE(static_cast<const void*>(bigger.get()), first_block);
  bigger->more[7] = 7;  // the whole object is writable: a short block would show here
  bigger.reset();       // its block goes to the heap; the spare stays Small's

  auto reused = std::make_unique<Small>();
  EXPECT_EQ(static_cast<const void*>(reused.get()), first_block);
  EXPECT_EQ(reused->word, 1u);  // constructed afresh in the recycled block

  // Made here, dropped on a thread that then ends: that thread's spare goes back to the heap
  // with it (a leak the leak checker would report), and this thread's spare is left alone.
  std::thread([moved = std::move(second)]() mutable { moved.reset(); }).join();
  reused.reset();
  auto again = std::make_unique<Small>();
  EXPECT_EQ(static_cast<const void*>(again.get()), first_block);
}

// A block kept as the thread's spare is never freed, so without telling the sanitizer a read
// through a pointer to the object deleted last would read its old words unnoticed.
TEST(RecycledStorageDeathTest, ReadOfADeletedObjectInTheSpareIsReported) {
  if (!flutter::internal::kAddressSanitizer) {
    GTEST_SKIP() << "only AddressSanitizer sees a read of kept memory";
  }
  EXPECT_DEATH(
      {
        Small* volatile stale = new Small();
        delete stale;  // the thread's spare now: whatever it had, it was taken by this new
        const volatile uint64_t word = stale->word;
        (void)word;
      },
      "AddressSanitizer: use-after-poison");
}

}  // namespace
