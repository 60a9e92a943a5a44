// The heap a decoding needs must follow the size of the message, not the sizes it declares.
// Measured with a counting allocator: this executable replaces the global operator new/delete,
// so it is kept apart from the other tests.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <new>
#include <streambuf>
#include <string>
#include <vector>

#include "embedding/byte_streams.h"
#include "embedding/encodable_value.h"
#include "embedding/standard_codec_serializer.h"
#include "tests/portable/codec_test_support.h"

namespace {

std::atomic<size_t> g_live_bytes{0};
std::atomic<size_t> g_peak_bytes{0};

// Room in front of each block for its size, kept at the strictest fundamental alignment.
constexpr size_t kHeader = alignof(std::max_align_t);

void* CountedAllocate(size_t size) noexcept {
  void* block = std::malloc(size + kHeader);
  if (block == nullptr) {
    return nullptr;
  }
  *static_cast<size_t*>(block) = size;
  const size_t live = g_live_bytes.fetch_add(size) + size;
  size_t peak = g_peak_bytes.load();
  while (live > peak && !g_peak_bytes.compare_exchange_weak(peak, live)) {
  }
  return static_cast<char*>(block) + kHeader;
}

void CountedFree(void* pointer) noexcept {
  if (pointer == nullptr) {
    return;
  }
  void* block = static_cast<char*>(pointer) - kHeader;
  g_live_bytes.fetch_sub(*static_cast<size_t*>(block));
  std::free(block);
}

void* CountedNew(size_t size) {
  void* pointer = CountedAllocate(size);
  if (pointer == nullptr) {
    throw std::bad_alloc();
  }
  return pointer;
}

}  // namespace

void* operator new(size_t size) {
  return CountedNew(size);
}
void* operator new[](size_t size) {
  return CountedNew(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return CountedAllocate(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return CountedAllocate(size);
}
void operator delete(void* pointer) noexcept {
  CountedFree(pointer);
}
void operator delete[](void* pointer) noexcept {
  CountedFree(pointer);
}
void operator delete(void* pointer, size_t) noexcept {
  CountedFree(pointer);
}
void operator delete[](void* pointer, size_t) noexcept {
  CountedFree(pointer);
}
void operator delete(void* pointer, const std::nothrow_t&) noexcept {
  CountedFree(pointer);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept {
  CountedFree(pointer);
}

namespace {

using flutter::EncodableValue;
using orvane_test::Bytes;
using orvane_test::Concat;
using orvane_test::Repeat;

// Swallows the diagnostic lines without allocating, so they neither count nor slow the test.
class Discard : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

// The heap that decoding `bytes` as one value needs at its peak, the decoded value included.
size_t PeakHeapOfDecoding(const std::vector<uint8_t>& bytes) {
  Discard discard;
  std::streambuf* const previous = std::cerr.rdbuf(&discard);
  const size_t before = g_live_bytes.load();
  g_peak_bytes.store(before);
  {
    flutter::ByteBufferStreamReader reader(bytes.data(), bytes.size());
    const EncodableValue value =
        flutter::StandardCodecSerializer::SharedInstance().ReadValue(&reader);
  }
  const size_t peak = g_peak_bytes.load() - before;
  std::cerr.rdbuf(previous);
  return peak;
}

// `head`, then `filler` repeated until the message is `size` bytes long (cut to fit).
std::vector<uint8_t> Filled(const std::vector<uint8_t>& head, const std::vector<uint8_t>& filler,
                            size_t size) {
  std::vector<uint8_t> bytes = head;
  while (bytes.size() < size) {
    bytes.insert(bytes.end(), filler.begin(), filler.end());
  }
  bytes.resize(size);
  return bytes;
}

std::vector<uint8_t> Le32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

// The size field for `count`, in its five-byte form.
std::vector<uint8_t> Size32(uint32_t count) {
  return Concat({Bytes("FF"), Le32(count)});
}

// Distinct int32 keys, each with a null value.
std::vector<uint8_t> IntKeyedPairs(uint32_t pairs) {
  std::vector<uint8_t> bytes;
  for (uint32_t key = 0; key < pairs; ++key) {
    const std::vector<uint8_t> pair = Concat({Bytes("03"), Le32(key), Bytes("00")});
    bytes.insert(bytes.end(), pair.begin(), pair.end());
  }
  return bytes;
}

// A map that repeats a few keys keeps one pair of each; the pairs read but not yet found to be
// repeats must not add up to the message's worth of pairs.
constexpr size_t kRepeatedKeysBytesPerMessageByte = 10;
// A map of distinct keys in order has room made for exactly its pairs, six bytes each here.
constexpr size_t kOrderedKeysBytesPerMessageByte = 20;

struct HostileShape {
  const char* name;
  // A tighter bound per byte of message for this shape, 0 for none but the general one.
  size_t bound_per_byte;
  std::vector<uint8_t> (*make)(size_t size);
};

const HostileShape kShapes[] = {
    {"nested lists declaring 2^32-1 elements, then nulls", 0,
     [](size_t size) { return Filled(Repeat(Bytes("0C FF FF FF FF FF"), 255), {0x00}, size); }},
    {"nested lists each declaring the bytes left, then nulls", 0,
     [](size_t size) {
       std::vector<uint8_t> head;
       for (int level = 0; level < 255; ++level) {
         head.push_back(0x0C);
         const std::vector<uint8_t> count = Size32(static_cast<uint32_t>(size - head.size() - 5));
         head.insert(head.end(), count.begin(), count.end());
       }
       return Filled(head, {0x00}, size);
     }},
    {"nested maps declaring 2^32-1 pairs, then distinct keys", kOrderedKeysBytesPerMessageByte,
     [](size_t size) {
       return Filled(Repeat(Bytes("0D FF FF FF FF FF"), 255),
                     IntKeyedPairs(static_cast<uint32_t>(size / 6)), size);
     }},
    {"nested maps and lists declaring 2^32-1, at the very end", 0,
     [](size_t size) {
       return Filled({}, Bytes("0C 01 0D FF FF FF FF FF 00 0C FF FF FF FF FF"), size);
     }},
    {"list of strings each declaring 1 MiB", 0,
     [](size_t size) {
       return Filled(Concat({Bytes("0C"), Size32(1u << 30)}), Bytes("07 FF 00 00 10 00"), size);
     }},
    {"list of typed lists each declaring 2^32-1 elements", 0,
     [](size_t size) {
       return Filled(Concat({Bytes("0C"), Size32(1u << 30)}),
                     Concat({Bytes("0B FF FF FF FF FF 00 00"), Bytes("0E FF FF FF FF FF 00 00"),
                             Bytes("09 FF FF FF FF FF 00 00"), Bytes("0A FF FF FF FF FF 00 00"),
                             Bytes("08 FF FF FF FF FF")}),
                     size);
     }},
    {"map repeating one key", kRepeatedKeysBytesPerMessageByte,
     [](size_t size) {
       return Filled(Concat({Bytes("0D"), Size32(1u << 30)}), Bytes("07 00 00"), size);
     }},
    {"map cycling through three keys out of order", kRepeatedKeysBytesPerMessageByte,
     [](size_t size) {
       return Filled(Concat({Bytes("0D"), Size32(1u << 30)}), Bytes("02 00 01 00 00 00"), size);
     }},
    {"map repeating null -> null", kRepeatedKeysBytesPerMessageByte,
     [](size_t size) {
       return Filled(Concat({Bytes("0D"), Size32(1u << 30)}), Bytes("00 00"), size);
     }},
};

// Per byte of message. A list of nulls needs one of the value model's elements per byte, and a
// list that grows briefly holds its old and new storage together: about two elements per byte.
constexpr size_t kBytesPerMessageByte = 128;
// Whatever the size: the few elements read past the end by every list and map still open there.
constexpr size_t kFixedBytes = 1 << 20;

// A list costs most just after it has outgrown a power of two of elements: the size at which the
// first shape's innermost list of nulls holds 2^17 + 1 of them.
constexpr size_t kJustPastAGrowth = (size_t{1} << 17) + 1 + 255 * 6;

TEST(CodecMemoryTest, PeakHeapFollowsTheMessageSizeForHostileShapes) {
  for (const size_t size : {size_t{100} * 1000, kJustPastAGrowth, size_t{1000} * 1000}) {
    for (const HostileShape& shape : kShapes) {
      SCOPED_TRACE(testing::Message() << shape.name << ", " << size << " bytes");
      const std::vector<uint8_t> message = shape.make(size);
      ASSERT_EQ(message.size(), size);
      const size_t peak = PeakHeapOfDecoding(message);
      std::printf("%-58s %8zu bytes: peak heap %11zu bytes, %7.1f per byte\n", shape.name, size,
                  peak, static_cast<double>(peak) / static_cast<double>(size));
      EXPECT_LE(peak, kBytesPerMessageByte * size + kFixedBytes);
      if (shape.bound_per_byte != 0) {
        EXPECT_LE(peak, shape.bound_per_byte * size);
      }
    }
  }
}

}  // namespace
