// What AddressSanitizer must be told about memory that the program keeps for reuse instead of
// freeing: the one place that knows whether the build has it. Everywhere else these are no-ops,
// so product code calls them unconditionally and every compiler (MSVC included) builds it.
#ifndef ORVANE_EMBEDDING_ADDRESS_SANITIZER_H_
#define ORVANE_EMBEDDING_ADDRESS_SANITIZER_H_

#include <cstddef>

// GCC and MSVC say so with __SANITIZE_ADDRESS__, clang with __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define ORVANE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVANE_ADDRESS_SANITIZER 1
#endif
#endif

#ifdef ORVANE_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace flutter::internal {

#ifdef ORVANE_ADDRESS_SANITIZER
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif

// The block is kept, not in use: a read or write of it is reported as a freed block's would be.
inline void MarkKeptUnused(void* block, std::size_t size) noexcept {
#ifdef ORVANE_ADDRESS_SANITIZER
  __asan_poison_memory_region(block, size);
#else
  (void)block;
  (void)size;
#endif
}

// The block is handed out again (or back to the heap), and may be used.
inline void MarkInUse(void* block, std::size_t size) noexcept {
#ifdef ORVANE_ADDRESS_SANITIZER
  __asan_unpoison_memory_region(block, size);
#else
  (void)block;
  (void)size;
#endif
}

}  // namespace flutter::internal

#endif  // ORVANE_EMBEDDING_ADDRESS_SANITIZER_H_
