#include "embedding/standard_codec_serializer.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <string>

#include "embedding/diagnostics.h"

namespace flutter {

// Numbers go on the wire as their in-memory bytes, which are the little-endian wire order only
// on a little-endian machine (every target of this host is one).
static_assert(std::endian::native == std::endian::little, "the wire format is little-endian");

namespace {

enum Tag : uint8_t {
  kNull = 0,
  kTrue = 1,
  kFalse = 2,
  kInt32 = 3,
  kInt64 = 4,
  kLargeInt = 5,  // read as a string, never written
  kFloat64 = 6,
  kString = 7,
  kUInt8List = 8,
  kInt32List = 9,
  kInt64List = 10,
  kFloat64List = 11,
  kList = 12,
  kMap = 13,
  kFloat32List = 14,
};

constexpr uint64_t kMaxSize = std::numeric_limits<uint32_t>::max();

// A list or map whose elements run past the end of the message still reads this many of them (as
// nulls, one diagnostic line each, exactly as a short read does) before it is cut short. Small
// truncations thus decode as they always did, while a count of four billion costs nothing.
constexpr uint32_t kMaxReadsPastEnd = 16;

// On a short read the result keeps its declared size, filled with zeros. Across one top-level
// value, such zero fill may total the bytes the message had left plus this much; beyond that a
// short read yields an empty result, so a message cannot make us allocate more than about its
// own size however many short reads it packs.
constexpr uint64_t kZeroFillSlack = 1024;

// Decoding state that must survive the fixed virtual signatures, kept per thread because the
// serializer itself is shared and stateless.
struct ReadLimits {
  uint32_t depth = 0;
  uint64_t zero_fill_budget = 0;
};
thread_local ReadLimits t_read_limits;

void WriteSizeDiagnostic(uint64_t declared) {
  WriteDiagnosticLine("Invalid size in StandardCodecSerializer::ReadValueOfType: " +
                      std::to_string(declared) + " exceeds the message");
}

// One level of list or map nesting for as long as it lives.
class NestingScope {
 public:
  explicit NestingScope(const ByteStreamReader& stream) {
    if (t_read_limits.depth == 0) {
      t_read_limits.zero_fill_budget = ZeroFillBudgetAt(stream);
    }
    ++t_read_limits.depth;
  }
  ~NestingScope() { --t_read_limits.depth; }
  NestingScope(const NestingScope&) = delete;
  NestingScope& operator=(const NestingScope&) = delete;

  static uint64_t ZeroFillBudgetAt(const ByteStreamReader& stream) {
    const std::optional<size_t> remaining = stream.BytesRemaining();
    return remaining ? *remaining + kZeroFillSlack : std::numeric_limits<uint64_t>::max();
  }
};

// Whether a result of `bytes` bytes may be allocated before reading it. It may when the read will
// succeed, or when it will fail but its zero fill fits the budget. Otherwise writes the size
// diagnostic; the caller then yields an empty result and reads nothing.
bool MayAllocate(const ByteStreamReader& stream, uint64_t bytes, uint64_t declared) {
  const std::optional<size_t> remaining = stream.BytesRemaining();
  if (!remaining || bytes <= *remaining) {
    return true;
  }
  if (t_read_limits.depth == 0) {
    t_read_limits.zero_fill_budget = NestingScope::ZeroFillBudgetAt(stream);
  }
  if (bytes <= t_read_limits.zero_fill_budget) {
    t_read_limits.zero_fill_budget -= bytes;
    return true;
  }
  WriteSizeDiagnostic(declared);
  return false;
}

bool AtEnd(const ByteStreamReader& stream) {
  const std::optional<size_t> remaining = stream.BytesRemaining();
  return remaining && *remaining == 0;
}

// Elements of a typed list: `count` of them after the alignment padding, in one read.
template <typename T>
std::vector<T> ReadArray(ByteStreamReader* stream, size_t count, uint8_t alignment) {
  if (alignment != 0) {
    stream->SkipToAlignment(alignment);
  }
  const uint64_t bytes = static_cast<uint64_t>(count) * sizeof(T);
  if (!MayAllocate(*stream, bytes, count)) {
    return {};
  }
  std::vector<T> elements(count);
  // Also with no elements: a list whose padding runs past the end is a short read.
  stream->ReadBytes(reinterpret_cast<uint8_t*>(elements.data()), static_cast<size_t>(bytes));
  return elements;
}

template <typename T>
void WriteArray(const StandardCodecSerializer& serializer, const std::vector<T>& elements,
                uint8_t alignment, ByteStreamWriter* stream) {
  serializer.WriteSize(elements.size(), stream);
  if (alignment != 0) {
    stream->PadToAlignment(alignment);
  }
  if (!elements.empty()) {
    stream->WriteBytes(reinterpret_cast<const uint8_t*>(elements.data()),
                       elements.size() * sizeof(T));
  }
}

// The element or pair count of a value, for those that carry a size field.
std::optional<size_t> SizeFieldOf(const EncodableValue& value) {
  return std::visit(
      [](const auto& content) -> std::optional<size_t> {
        using T = std::decay_t<decltype(content)>;
        if constexpr (std::is_same_v<T, std::monostate> || std::is_same_v<T, bool> ||
                      std::is_same_v<T, int32_t> || std::is_same_v<T, int64_t> ||
                      std::is_same_v<T, double> || std::is_same_v<T, CustomValue>) {
          return std::nullopt;
        } else {
          return content.size();
        }
      },
      static_cast<const EncodableValue::Variant&>(value));
}

}  // namespace

const StandardCodecSerializer& StandardCodecSerializer::SharedInstance() {
  static const StandardCodecSerializer instance;
  return instance;
}

EncodableValue StandardCodecSerializer::ReadValue(ByteStreamReader* stream) const {
  const uint8_t type = stream->ReadByte();
  return ReadValueOfType(type, stream);
}

void StandardCodecSerializer::WriteValue(const EncodableValue& value,
                                         ByteStreamWriter* stream) const {
  // A size beyond 32 bits has no wire form; rather than send a length that disagrees with the
  // payload, which would garble everything after it, the value goes out as null.
  if (const std::optional<size_t> size = SizeFieldOf(value); size && *size > kMaxSize) {
    WriteDiagnosticLine("Value too large in StandardCodecSerializer::WriteValue: " +
                        std::to_string(*size) + " elements");
    stream->WriteByte(kNull);
    return;
  }
  if (const auto* boolean = std::get_if<bool>(&value)) {
    stream->WriteByte(*boolean ? kTrue : kFalse);
    return;
  }
  switch (value.index()) {
    case 0:
      stream->WriteByte(kNull);
      return;
    case 2: {
      stream->WriteByte(kInt32);
      const int32_t number = std::get<int32_t>(value);
      stream->WriteBytes(reinterpret_cast<const uint8_t*>(&number), sizeof(number));
      return;
    }
    case 3: {
      stream->WriteByte(kInt64);
      const int64_t number = std::get<int64_t>(value);
      stream->WriteBytes(reinterpret_cast<const uint8_t*>(&number), sizeof(number));
      return;
    }
    case 4: {
      stream->WriteByte(kFloat64);
      stream->PadToAlignment(8);
      const double number = std::get<double>(value);
      stream->WriteBytes(reinterpret_cast<const uint8_t*>(&number), sizeof(number));
      return;
    }
    case 5: {
      stream->WriteByte(kString);
      const std::string& text = std::get<std::string>(value);
      WriteSize(text.size(), stream);
      if (!text.empty()) {
        stream->WriteBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
      }
      return;
    }
    case 6:
      stream->WriteByte(kUInt8List);
      WriteArray(*this, std::get<std::vector<uint8_t>>(value), 0, stream);
      return;
    case 7:
      stream->WriteByte(kInt32List);
      WriteArray(*this, std::get<std::vector<int32_t>>(value), 4, stream);
      return;
    case 8:
      stream->WriteByte(kInt64List);
      WriteArray(*this, std::get<std::vector<int64_t>>(value), 8, stream);
      return;
    case 9:
      stream->WriteByte(kFloat64List);
      WriteArray(*this, std::get<std::vector<double>>(value), 8, stream);
      return;
    case 10: {
      stream->WriteByte(kList);
      const EncodableList& list = std::get<EncodableList>(value);
      WriteSize(list.size(), stream);
      for (const EncodableValue& element : list) {
        WriteValue(element, stream);
      }
      return;
    }
    case 11: {
      stream->WriteByte(kMap);
      const EncodableMap& map = std::get<EncodableMap>(value);
      WriteSize(map.size(), stream);
      for (const auto& [key, element] : map) {
        WriteValue(key, stream);
        WriteValue(element, stream);
      }
      return;
    }
    case 12:
      stream->WriteByte(kNull);
      WriteDiagnosticLine(
          "Unhandled custom type in StandardCodecSerializer::WriteValue. "
          "Custom types require codec extensions.");
      return;
    case 13:
      stream->WriteByte(kFloat32List);
      WriteArray(*this, std::get<std::vector<float>>(value), 4, stream);
      return;
    default:
      // Only a value left empty by a throwing assignment gets here; it has no content to send.
      stream->WriteByte(kNull);
      return;
  }
}

EncodableValue StandardCodecSerializer::ReadValueOfType(uint8_t type,
                                                        ByteStreamReader* stream) const {
  switch (type) {
    case kNull:
      return EncodableValue();
    case kTrue:
      return EncodableValue(true);
    case kFalse:
      return EncodableValue(false);
    case kInt32: {
      int32_t number = 0;
      stream->ReadBytes(reinterpret_cast<uint8_t*>(&number), sizeof(number));
      return EncodableValue(number);
    }
    case kInt64: {
      int64_t number = 0;
      stream->ReadBytes(reinterpret_cast<uint8_t*>(&number), sizeof(number));
      return EncodableValue(number);
    }
    case kFloat64: {
      stream->SkipToAlignment(8);
      double number = 0;
      stream->ReadBytes(reinterpret_cast<uint8_t*>(&number), sizeof(number));
      return EncodableValue(number);
    }
    case kLargeInt:
    case kString: {
      const size_t size = ReadSize(stream);
      if (!MayAllocate(*stream, size, size)) {
        return EncodableValue(std::string());
      }
      std::string text(size, '\0');
      stream->ReadBytes(reinterpret_cast<uint8_t*>(text.data()), size);
      return EncodableValue(std::move(text));
    }
    case kUInt8List: {
      const size_t count = ReadSize(stream);
      return EncodableValue(ReadArray<uint8_t>(stream, count, 0));
    }
    case kInt32List: {
      const size_t count = ReadSize(stream);
      return EncodableValue(ReadArray<int32_t>(stream, count, 4));
    }
    case kInt64List: {
      const size_t count = ReadSize(stream);
      return EncodableValue(ReadArray<int64_t>(stream, count, 8));
    }
    case kFloat64List: {
      const size_t count = ReadSize(stream);
      return EncodableValue(ReadArray<double>(stream, count, 8));
    }
    case kFloat32List: {
      const size_t count = ReadSize(stream);
      return EncodableValue(ReadArray<float>(stream, count, 4));
    }
    case kList:
    case kMap:
      break;
    default:
      WriteDiagnosticLine("Unknown type in StandardCodecSerializer::ReadValueOfType: " +
                          std::to_string(type));
      return EncodableValue();
  }

  // Lists and maps recurse; past the depth limit the container reads as null and, as for an
  // unknown tag, nothing after its tag is consumed. The stack stays bounded whatever comes in.
  if (t_read_limits.depth >= kMaxNestingDepth) {
    WriteDiagnosticLine(
        "Value nested too deeply in StandardCodecSerializer::ReadValueOfType; limit is " +
        std::to_string(kMaxNestingDepth) + " levels");
    return EncodableValue();
  }
  NestingScope nesting(*stream);
  const size_t count = ReadSize(stream);
  uint32_t reads_past_end = 0;
  // Checked before every element: each one takes at least one byte, so past the end only a
  // truncated container is being read, and a bounded stretch of it keeps the old result.
  auto cut_short = [&] {
    if (AtEnd(*stream) && ++reads_past_end > kMaxReadsPastEnd) {
      WriteSizeDiagnostic(count);
      return true;
    }
    return false;
  };

  if (type == kList) {
    EncodableList list;
    const std::optional<size_t> remaining = stream->BytesRemaining();
    list.reserve(remaining ? std::min(count, *remaining + kMaxReadsPastEnd) : count);
    for (size_t i = 0; i < count && !cut_short(); ++i) {
      list.push_back(ReadValue(stream));
    }
    return EncodableValue(std::move(list));
  }

  EncodableMap map;
  for (size_t i = 0; i < count && !cut_short(); ++i) {
    EncodableValue key = ReadValue(stream);
    EncodableValue element = ReadValue(stream);
    // The first occurrence of a key wins. Well-formed maps arrive in key order, so the end is
    // the right hint and each insertion is constant time.
    map.try_emplace(map.end(), std::move(key), std::move(element));
  }
  return EncodableValue(std::move(map));
}

void StandardCodecSerializer::WriteSize(size_t size, ByteStreamWriter* stream) const {
  if (size < 254) {
    stream->WriteByte(static_cast<uint8_t>(size));
  } else if (size <= 0xFFFF) {
    stream->WriteByte(254);
    const uint16_t value = static_cast<uint16_t>(size);
    stream->WriteBytes(reinterpret_cast<const uint8_t*>(&value), sizeof(value));
  } else if (size <= kMaxSize) {
    stream->WriteByte(255);
    const uint32_t value = static_cast<uint32_t>(size);
    stream->WriteBytes(reinterpret_cast<const uint8_t*>(&value), sizeof(value));
  } else {
    WriteDiagnosticLine("Size too large in StandardCodecSerializer::WriteSize: " +
                        std::to_string(size));
    stream->WriteByte(0);
  }
}

size_t StandardCodecSerializer::ReadSize(ByteStreamReader* stream) const {
  const uint8_t first = stream->ReadByte();
  if (first < 254) {
    return first;
  }
  if (first == 254) {
    uint16_t value = 0;
    stream->ReadBytes(reinterpret_cast<uint8_t*>(&value), sizeof(value));
    return value;
  }
  uint32_t value = 0;
  stream->ReadBytes(reinterpret_cast<uint8_t*>(&value), sizeof(value));
  return value;
}

}  // namespace flutter
