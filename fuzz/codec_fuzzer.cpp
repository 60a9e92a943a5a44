// Feeds arbitrary bytes to call decoding, reply decoding and value reading, and checks what must
// hold for any input: no crash or leak, a bounded number of diagnostic lines, a peak heap that
// follows the input's size, exactly one answer for a decoded reply and none otherwise, and values
// that survive encoding and decoding again.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <iostream>
#include <optional>
#include <streambuf>
#include <string>
#include <vector>

#include "embedding/byte_streams.h"
#include "embedding/encodable_value.h"
#include "embedding/method_result.h"
#include "embedding/standard_codec_serializer.h"
#include "embedding/standard_method_codec.h"

#if defined(__SANITIZE_ADDRESS__)
#define ORVANE_FUZZ_COUNTS_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVANE_FUZZ_COUNTS_HEAP 1
#endif
#endif

#ifdef ORVANE_FUZZ_COUNTS_HEAP
// The sanitizer's allocator interface; GCC ships no header for it.
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                              void (*free_hook)(const volatile void*));
size_t __sanitizer_get_allocated_size(const volatile void* pointer);
}
#endif

namespace {

using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;

// Swallows the diagnostic lines (thousands per second would drown the fuzzer's own output) and
// counts them, so that their number can be checked against the input size.
class LineCounter : public std::streambuf {
 public:
  size_t lines = 0;

 protected:
  int_type overflow(int_type c) override {
    if (c == '\n') {
      ++lines;
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    for (std::streamsize i = 0; i < count; ++i) {
      if (text[i] == '\n') {
        ++lines;
      }
    }
    return count;
  }
};

LineCounter& Diagnostics() {
  static LineCounter* const counter = [] {
    auto* created = new LineCounter();
    std::cerr.rdbuf(created);
    return created;
  }();
  return *counter;
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "codec property violated: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

void Check(bool holds, const char* what) {
  if (!holds) {
    Fail(what);
  }
}

// NaN is unequal to itself, so a value holding one never compares equal, not even to itself: its
// round trip is checked on the bytes alone.
bool ContainsNaN(const EncodableValue& value) {
  if (const auto* number = std::get_if<double>(&value)) {
    return std::isnan(*number);
  }
  if (const auto* doubles = std::get_if<std::vector<double>>(&value)) {
    for (double element : *doubles) {
      if (std::isnan(element)) {
        return true;
      }
    }
  }
  if (const auto* floats = std::get_if<std::vector<float>>(&value)) {
    for (float element : *floats) {
      if (std::isnan(element)) {
        return true;
      }
    }
  }
  if (const auto* list = std::get_if<EncodableList>(&value)) {
    for (const auto& element : *list) {
      if (ContainsNaN(element)) {
        return true;
      }
    }
  }
  if (const auto* map = std::get_if<EncodableMap>(&value)) {
    for (const auto& [key, element] : *map) {
      if (ContainsNaN(key) || ContainsNaN(element)) {
        return true;
      }
    }
  }
  return false;
}

const flutter::StandardCodecSerializer& Serializer() {
  return flutter::StandardCodecSerializer::SharedInstance();
}

const flutter::StandardMethodCodec& Codec() {
  return flutter::StandardMethodCodec::SharedInstance();
}

std::vector<uint8_t> Encode(const EncodableValue& value) {
  std::vector<uint8_t> bytes;
  flutter::ByteBufferStreamWriter writer(&bytes);
  Serializer().WriteValue(value, &writer);
  return bytes;
}

EncodableValue Decode(const std::vector<uint8_t>& bytes) {
  flutter::ByteBufferStreamReader reader(bytes.data(), bytes.size());
  EncodableValue value = Serializer().ReadValue(&reader);
  Check(reader.position() == bytes.size(), "an encoded value reads back to its end");
  return value;
}

// Whatever was decoded is well-formed once encoded: it reads back equal, without diagnostics,
// and encodes to the same bytes again (a map in its key order, whatever its keys).
void CheckRoundTrip(const EncodableValue& value) {
  const size_t lines_before = Diagnostics().lines;
  const std::vector<uint8_t> bytes = Encode(value);
  const EncodableValue again = Decode(bytes);
  Check(ContainsNaN(value) || again == value, "a decoded value survives encoding and decoding");
  Check(Encode(again) == bytes, "encoding is stable");
  Check(Diagnostics().lines == lines_before, "a well-formed encoding decodes without diagnostics");
}

class RecordingResult : public flutter::MethodResult<EncodableValue> {
 public:
  void Success(const EncodableValue* result) override {
    ++calls;
    success = true;
    if (result != nullptr) {
      Check(!result->IsNull(), "a null result arrives as no value");
      value = *result;
    }
  }
  void Error(const std::string& error_code, const std::string& error_message,
             const EncodableValue* error_details) override {
    ++calls;
    code = error_code;
    message = error_message;
    if (error_details != nullptr) {
      Check(!error_details->IsNull(), "null details arrive as none");
      details = *error_details;
    }
  }
  void NotImplemented() override { Fail("a reply is never answered NotImplemented by the codec"); }

  int calls = 0;
  bool success = false;
  std::optional<EncodableValue> value;
  std::string code;
  std::string message;
  std::optional<EncodableValue> details;
};

void FuzzCall(const uint8_t* data, size_t size) {
  const auto call = Codec().DecodeCall(data, size);
  if (!call) {
    return;
  }
  Check(call->arguments() != nullptr, "decoded arguments are always present");
  CheckRoundTrip(*call->arguments());
  if (ContainsNaN(*call->arguments())) {
    return;
  }
  const std::vector<uint8_t> message = Codec().EncodeCall(*call);
  const auto again = Codec().DecodeCall(message.data(), message.size());
  Check(again && again->method_name() == call->method_name() &&
            *again->arguments() == *call->arguments(),
        "a decoded call survives encoding and decoding");
}

void FuzzReply(const uint8_t* data, size_t size) {
  RecordingResult result;
  const bool decoded = Codec().DecodeReply(data, size, &result);
  Check(result.calls == (decoded ? 1 : 0), "a reply is answered exactly once when decoded");
  if (!decoded) {
    return;
  }
  const EncodableValue* value = result.value ? &*result.value : nullptr;
  const EncodableValue* details = result.details ? &*result.details : nullptr;
  if ((value && ContainsNaN(*value)) || (details && ContainsNaN(*details))) {
    return;
  }
  const std::vector<uint8_t> reply =
      result.success ? Codec().EncodeSuccess(value)
                     : Codec().EncodeError(result.code, result.message, details);
  RecordingResult again;
  Check(Codec().DecodeReply(reply.data(), reply.size(), &again), "an encoded reply decodes");
  Check(again.calls == 1 && again.success == result.success && again.value == result.value &&
            again.code == result.code && again.message == result.message &&
            again.details == result.details,
        "a decoded reply survives encoding and decoding");
}

// Any reader other than the buffer reader takes the serializer's general path; it must decode
// exactly alike.
class ForwardingReader : public flutter::ByteStreamReader {
 public:
  ForwardingReader(const uint8_t* data, size_t size) : inner_(data, size) {}
  uint8_t ReadByte() override { return inner_.ReadByte(); }
  void ReadBytes(uint8_t* buffer, size_t length) override { inner_.ReadBytes(buffer, length); }
  void SkipToAlignment(uint8_t alignment) override { inner_.SkipToAlignment(alignment); }
  std::optional<size_t> BytesRemaining() const override { return inner_.BytesRemaining(); }
  uint64_t position() const { return inner_.position(); }

 private:
  flutter::ByteBufferStreamReader inner_;
};

// The total heap in use, counted through the sanitizer's hooks. libFuzzer's own memory limit
// looks at single allocations and at the resident size, and so misses a decoder that reserves a
// little too much many times over: the reservation is untouched, but on Windows it is committed.
#ifdef ORVANE_FUZZ_COUNTS_HEAP
std::atomic<int64_t> g_live_bytes{0};
std::atomic<int64_t> g_peak_bytes{0};

void CountMalloc(const volatile void*, size_t size) {
  const int64_t live =
      g_live_bytes.fetch_add(static_cast<int64_t>(size)) + static_cast<int64_t>(size);
  int64_t peak = g_peak_bytes.load();
  while (live > peak && !g_peak_bytes.compare_exchange_weak(peak, live)) {
  }
}

void CountFree(const volatile void* pointer) {
  g_live_bytes.fetch_sub(static_cast<int64_t>(__sanitizer_get_allocated_size(pointer)));
}

// Runs `decode` and checks that the heap it needed at its peak stays within 128 bytes per input
// byte: one of the value model's elements per byte for a list of nulls, and a growing list
// briefly holds its old and new storage.
template <typename Decode>
auto WithBoundedHeap(size_t size, Decode decode) {
  static const bool installed = __sanitizer_install_malloc_and_free_hooks(CountMalloc, CountFree);
  const int64_t before = g_live_bytes.load();
  g_peak_bytes.store(before);
  auto result = decode();
  const int64_t peak = g_peak_bytes.load() - before;
  Check(!installed || peak <= static_cast<int64_t>(128 * size + (1 << 20)),
        "the peak heap of a decoding follows the input size");
  return result;
}
#else
template <typename Decode>
auto WithBoundedHeap(size_t, Decode decode) {
  return decode();
}
#endif

void FuzzValue(const uint8_t* data, size_t size) {
  size_t lines = Diagnostics().lines;
  flutter::ByteBufferStreamReader reader(data, size);
  const EncodableValue value =
      WithBoundedHeap(size, [&] { return Serializer().ReadValue(&reader); });
  const size_t buffer_lines = Diagnostics().lines - lines;

  lines = Diagnostics().lines;
  ForwardingReader other(data, size);
  const EncodableValue same = Serializer().ReadValue(&other);
  // Compared as encodings, which also holds for values with NaN in them.
  Check(Encode(same) == Encode(value) && other.position() == reader.position() &&
            Diagnostics().lines - lines == buffer_lines,
        "every reader decodes alike");

  CheckRoundTrip(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LineCounter& diagnostics = Diagnostics();
  // Each decoding prints at most about two lines per byte it consumes, plus, for every list or
  // map open when the message ends, its sixteen reads past the end (two lines each for a map);
  // all four decodings together stay within a few times that.
  const size_t per_decoding =
      2 * size + 33 * flutter::StandardCodecSerializer::kMaxNestingDepth + 16;
  diagnostics.lines = 0;
  FuzzCall(data, size);
  FuzzReply(data, size);
  FuzzValue(data, size);
  Check(diagnostics.lines <= 4 * per_decoding, "diagnostic lines are bounded by the input size");
  return 0;
}
