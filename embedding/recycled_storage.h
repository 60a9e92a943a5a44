// Storage recycled per thread for the few small objects that every channel message makes and
// drops again.
#ifndef ORVANE_EMBEDDING_RECYCLED_STORAGE_H_
#define ORVANE_EMBEDDING_RECYCLED_STORAGE_H_

#include <cstddef>
#include <new>
#include <utility>

#include "embedding/address_sanitizer.h"

namespace flutter::internal {

// A base that gives `Derived` its own operator new and delete: each thread keeps the block of
// the object of `Derived` it freed last as a spare, and the next object of `Derived` made on that
// thread takes it. An incoming message makes one reply state, one callable holding it and one
// result object and frees them before the next message comes, so from the second message on the
// messaging path takes none of them from the heap (half its time was the heap's). Blocks of
// another size (a class derived from `Derived`) go to the heap as usual.
//
// The spare lives in a trivially destructible thread-local pointer, usable for the thread's whole
// life; a second thread-local, made when a block is first kept, hands the spare back to the heap
// when the thread ends and sends later frees (during the thread's own end) to the heap.
//
// A kept spare is never freed, so AddressSanitizer would take it for memory in use and let a
// read through a pointer to the deleted object pass: the spare is marked unusable while kept.
template <typename Derived>
class RecycledStorage {
 public:
  static void* operator new(std::size_t size) {
    if (size == sizeof(Derived) && spare_ != nullptr) {
      void* const block = std::exchange(spare_, nullptr);
      MarkInUse(block, size);
      return block;
    }
    return ::operator new(size);
  }

  static void operator delete(void* block, std::size_t size) noexcept {
    if (block != nullptr && size == sizeof(Derived) && spare_ == nullptr && !ended_) {
      release_at_end_.Arm();  // made on first use here, so that the thread's end frees the spare
      MarkKeptUnused(block, size);
      spare_ = block;
      return;
    }
    ::operator delete(block);
  }

 protected:
  RecycledStorage() = default;
  ~RecycledStorage() = default;

 private:
  struct ReleaseAtEnd {
    ReleaseAtEnd() noexcept = default;
    void Arm() noexcept {}
    ~ReleaseAtEnd() {
      if (void* const spare = std::exchange(spare_, nullptr)) {
        MarkInUse(spare, sizeof(Derived));
        ::operator delete(spare);
      }
      ended_ = true;
    }
  };

  static thread_local void* spare_;
  static thread_local bool ended_;
  static thread_local ReleaseAtEnd release_at_end_;
};

template <typename Derived>
thread_local void* RecycledStorage<Derived>::spare_ = nullptr;
template <typename Derived>
thread_local bool RecycledStorage<Derived>::ended_ = false;
template <typename Derived>
thread_local
    typename RecycledStorage<Derived>::ReleaseAtEnd RecycledStorage<Derived>::release_at_end_;

}  // namespace flutter::internal

#endif  // ORVANE_EMBEDDING_RECYCLED_STORAGE_H_
