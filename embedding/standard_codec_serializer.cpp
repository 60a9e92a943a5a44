#include "embedding/standard_codec_serializer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

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

// Decoding never allocates more than the bytes present can fill, so that the memory a message
// costs stays proportional to its size whatever sizes it declares. The one allowance is this
// many bytes of zero fill for a string or typed list cut short, and this many elements of a list
// or map that run past the end (nulls, one invalid-read line each): a slightly truncated message
// decodes exactly as the format describes, while an absurd count costs neither memory nor time.
constexpr size_t kShortReadAllowance = 16;

// Room a list makes before its first element, whatever count it declares.
constexpr size_t kReserveAhead = 16;

// The most pairs a map makes room for ahead whose keys may repeat. A repeat costs nothing once
// dropped, but room made for it ahead would be held for the whole decode (a message of
// null -> null pairs, two bytes each, would claim forty times its size). Beyond these a map makes
// room ahead only for pairs whose keys are seen to ascend; otherwise it grows, and drops its
// repeats before every growth.
constexpr size_t kMapReserveAheadLimit = 4096;

// A map key of 32- or 64-bit integers or a string, as its bytes in the message: the index of its
// alternative in the value model, and its content (the number's bytes, or the text).
struct FlatKey {
  int alternative;
  const uint8_t* content;
  size_t size;
};

// The alternative a key of `tag` reads as, where its order is told from its bytes; -1 otherwise.
int AlternativeOfFlatKey(uint8_t tag) {
  switch (tag) {
    case kInt32:
      return 2;
    case kInt64:
      return 3;
    case kString:
    case kLargeInt:
      return 5;
    default:
      return -1;
  }
}

// The key order, from the keys' bytes.
bool FlatKeyLess(const FlatKey& lhs, const FlatKey& rhs) {
  if (lhs.alternative != rhs.alternative) {
    return lhs.alternative < rhs.alternative;
  }
  auto number = [](const FlatKey& key, auto zero) {
    std::memcpy(&zero, key.content, sizeof(zero));
    return zero;
  };
  switch (lhs.alternative) {
    case 2:
      return number(lhs, int32_t{0}) < number(rhs, int32_t{0});
    case 3:
      return number(lhs, int64_t{0}) < number(rhs, int64_t{0});
    default:
      return internal::CompareText({reinterpret_cast<const char*>(lhs.content), lhs.size},
                                   {reinterpret_cast<const char*>(rhs.content), rhs.size}) < 0;
  }
}

// What the nested values of a derived serializer are read from: the same stream, carrying the
// nesting depth across the virtual ReadValue, which has no room for it.
class NestedStream final : public ByteStreamReader {
 public:
  NestedStream(ByteStreamReader* inner, uint32_t depth) : inner_(inner), depth_(depth) {}
  uint8_t ReadByte() override { return inner_->ReadByte(); }
  void ReadBytes(uint8_t* buffer, size_t length) override { inner_->ReadBytes(buffer, length); }
  void SkipToAlignment(uint8_t alignment) override { inner_->SkipToAlignment(alignment); }
  std::optional<size_t> BytesRemaining() const override { return inner_->BytesRemaining(); }

  ByteStreamReader* inner() const { return inner_; }
  uint32_t depth() const { return depth_; }

 private:
  ByteStreamReader* inner_;
  uint32_t depth_;
};

// Reads values for one serializer from one reader, each straight into the value that keeps it.
// Instantiated for the buffer reader, whose operations then inline, and for any other reader
// through its virtual operations. When the serializer is exactly the standard one, nested values
// are read by direct recursion, which is what its virtual dispatch would reach anyway; a derived
// serializer gets every nested value through its own ReadValueOfType.
template <typename Reader>
class ValueReader {
 public:
  ValueReader(const StandardCodecSerializer& serializer, Reader* stream, bool standard)
      : serializer_(serializer), stream_(stream), standard_(standard) {}

  // `out` is null on entry; `depth` counts the lists and maps around it.
  void Read(uint8_t type, uint32_t depth, EncodableValue& out);

 private:
  static constexpr bool kInPlace = std::is_same_v<Reader, ByteBufferStreamReader>;

  void ReadNested(uint32_t depth, EncodableValue& out) {
    if (standard_) {
      Read(stream_->ReadByte(), depth, out);
    } else {
      NestedStream nested(stream_, depth);
      out = serializer_.ReadValue(&nested);
    }
  }

  size_t ReadSize() {
    const uint8_t first = stream_->ReadByte();
    if (first < 254) {
      return first;
    }
    if (first == 254) {
      return ReadNumber<uint16_t>();
    }
    return ReadNumber<uint32_t>();
  }

  template <typename T>
  T ReadNumber() {
    T number = 0;
    stream_->ReadBytes(reinterpret_cast<uint8_t*>(&number), sizeof(number));
    return number;
  }

  // Bytes left, or none known: a reader that cannot tell gets declared sizes trusted.
  std::optional<size_t> Remaining() const {
    if constexpr (kInPlace) {
      return stream_->Remaining();
    } else {
      return stream_->BytesRemaining();
    }
  }

  // A string, byte list or typed list: `count` elements of T in one read, after the padding
  // (taken also for an empty list). Cut short, it reads as the declared number of zeros where
  // those fit the allowance, else as empty; either way the failed read reports itself once.
  template <typename Content>
  void ReadArray(size_t count, uint8_t alignment, EncodableValue& out) {
    using T = typename Content::value_type;
    if (alignment != 0) {
      stream_->SkipToAlignment(alignment);
    }
    const uint64_t bytes = static_cast<uint64_t>(count) * sizeof(T);
    const std::optional<size_t> remaining = Remaining();
    if (remaining && bytes > *remaining && bytes > kShortReadAllowance) {
      ByteBufferStreamReader::ReportInvalidRead();
      out.template emplace<Content>();
      return;
    }
    if constexpr (kInPlace && sizeof(T) == 1) {
      // The bytes are there: copy them once, straight into the value, without zeroing first.
      if (bytes <= *remaining) {
        const auto* first = reinterpret_cast<const T*>(stream_->TakeBytes(count));
        // Made empty in place, then filled: std::variant emplaces a type whose constructor may
        // throw by building a whole temporary variant and moving it in.
        out.template emplace<Content>().assign(first, first + count);
        return;
      }
    }
    auto& content = out.template emplace<Content>(Content(count, T{}));
    stream_->ReadBytes(reinterpret_cast<uint8_t*>(content.data()), static_cast<size_t>(bytes));
  }

  void ReadContainer(uint8_t type, uint32_t depth, EncodableValue& out);

  // How many of the next `count` elements (of `values_each` values: 1 for a list, 2 for a map's
  // pairs) lie in the buffer in full and hold no list or map. Found by looking ahead without
  // reading; it stops at the first value that is a list or map, unknown, or cut short, so its
  // work is bounded by the bytes of those elements. Room for exactly these costs nothing the
  // message does not carry, and spares a long flat list or map its growth. A long map's count
  // also stops where its keys may start to repeat (see kMapReserveAheadLimit). Only for the
  // buffer reader and the standard serializer (a derived one may give tags meanings of its own).
  size_t CountFlatValues(size_t count, size_t values_each) const;

  // The next capacity of a full list or map of `size` elements that declares `count`: doubled,
  // but never past the count, nor past what the bytes left can still fill (each element present
  // takes at least `element_bytes`, its tags; a few more may read past the end). The last growth
  // thus lands near the true length, and a growing container holds at most about twice its
  // elements, old and new storage together, at its peak.
  size_t GrownCapacity(size_t size, size_t count, size_t element_bytes) const {
    size_t grown = std::min(count, 2 * size);
    if (const std::optional<size_t> remaining = Remaining()) {
      grown = std::min(grown, size + *remaining / element_bytes + kShortReadAllowance);
    }
    return std::max(grown, size + 1);
  }

  const StandardCodecSerializer& serializer_;
  Reader* const stream_;
  const bool standard_;
};

template <typename Reader>
void ValueReader<Reader>::Read(uint8_t type, uint32_t depth, EncodableValue& out) {
  switch (type) {
    case kNull:
      return;
    case kTrue:
      out.emplace<bool>(true);
      return;
    case kFalse:
      out.emplace<bool>(false);
      return;
    case kInt32:
      out.emplace<int32_t>(ReadNumber<int32_t>());
      return;
    case kInt64:
      out.emplace<int64_t>(ReadNumber<int64_t>());
      return;
    case kFloat64:
      stream_->SkipToAlignment(8);
      out.emplace<double>(ReadNumber<double>());
      return;
    case kLargeInt:
    case kString:
      ReadArray<std::string>(ReadSize(), 0, out);
      return;
    case kUInt8List:
      ReadArray<std::vector<uint8_t>>(ReadSize(), 0, out);
      return;
    case kInt32List:
      ReadArray<std::vector<int32_t>>(ReadSize(), 4, out);
      return;
    case kInt64List:
      ReadArray<std::vector<int64_t>>(ReadSize(), 8, out);
      return;
    case kFloat64List:
      ReadArray<std::vector<double>>(ReadSize(), 8, out);
      return;
    case kFloat32List:
      ReadArray<std::vector<float>>(ReadSize(), 4, out);
      return;
    case kList:
    case kMap:
      ReadContainer(type, depth, out);
      return;
    default:
      WriteDiagnosticLine("Unknown type in StandardCodecSerializer::ReadValueOfType: " +
                          std::to_string(type));
      return;
  }
}

template <typename Reader>
size_t ValueReader<Reader>::CountFlatValues(size_t count, size_t values_each) const {
  if constexpr (!kInPlace) {
    return 0;
  } else {
    if (!standard_ || count <= kReserveAhead) {
      return 0;  // the fixed room already covers a short container
    }
    const uint8_t* const bytes = stream_->data();
    const uint64_t end = stream_->size();
    uint64_t at = stream_->position();
    enum class Skip { kWhole, kCutShort, kNotFlat, kUnordered };
    // The size field at `at`, moving past it; nothing when it is cut short.
    auto size_field = [&]() -> std::optional<uint64_t> {
      if (at >= end) {
        return std::nullopt;
      }
      const uint8_t first = bytes[at++];
      const size_t width = first < 254 ? 0 : (first == 254 ? 2 : 4);
      if (width > end - at) {
        return std::nullopt;
      }
      if (width == 0) {
        return first;
      }
      uint32_t size = 0;
      std::memcpy(&size, bytes + at, width);
      at += width;
      return size;
    };
    uint64_t content = 0;  // where the value skipped last has its content (not for null, bool)
    // Moves past the value at `at`, as reading it would.
    auto skip = [&]() {
      const uint8_t tag = bytes[at++];
      uint64_t elements = 1;
      uint64_t width = 0;
      switch (tag) {
        case kNull:
        case kTrue:
        case kFalse:
          return Skip::kWhole;
        case kInt32:
          width = 4;
          break;
        case kInt64:
          width = 8;
          break;
        case kFloat64:
          at += (8 - at % 8) % 8;
          width = 8;
          break;
        case kLargeInt:
        case kString:
        case kUInt8List:
        case kInt32List:
        case kFloat32List:
        case kInt64List:
        case kFloat64List: {
          const std::optional<uint64_t> size = size_field();
          if (!size) {
            return Skip::kCutShort;
          }
          elements = *size;
          if (tag == kInt32List || tag == kFloat32List) {
            width = 4;
          } else if (tag == kInt64List || tag == kFloat64List) {
            width = 8;
          } else {
            width = 1;
          }
          if (width != 1) {
            at += (width - at % width) % width;
          }
          break;
        }
        default:
          return Skip::kNotFlat;  // a list, a map or unknown
      }
      if (at > end || elements * width > end - at) {
        return Skip::kCutShort;
      }
      content = at;
      at += elements * width;
      return Skip::kWhole;
    };
    const uint64_t wanted = static_cast<uint64_t>(count) * values_each;
    // A map's first kMapReserveAheadLimit pairs count as for a list.
    const uint64_t unchecked =
        values_each == 2 ? std::min<uint64_t>(wanted, 2 * kMapReserveAheadLimit) : wanted;
    uint64_t values = 0;
    Skip last = Skip::kWhole;
    while (values < unchecked && at < end && (last = skip()) == Skip::kWhole) {
      ++values;
    }
    // Past those, a pair counts only while its key follows the one before, as told from the
    // bytes of integer and string keys (any other key ends the count): keys in order do not
    // repeat, so the room made for them is filled.
    if (values == unchecked) {
      std::optional<FlatKey> previous;
      while (values < wanted && at < end) {
        const uint8_t tag = bytes[at];
        if ((last = skip()) != Skip::kWhole) {
          break;
        }
        if (values % 2 == 0) {
          const FlatKey key{AlternativeOfFlatKey(tag), bytes + content,
                            static_cast<size_t>(at - content)};
          if (key.alternative < 0 || (previous && !FlatKeyLess(*previous, key))) {
            last = Skip::kUnordered;
            break;
          }
          previous = key;
        }
        ++values;
      }
    }
    size_t present = static_cast<size_t>(values / values_each);
    if ((last == Skip::kWhole || last == Skip::kCutShort) && values < wanted) {
      // Cut short by the end: the container goes on to read one element cut short, then its
      // few elements past the end.
      present += std::min(count - present, kShortReadAllowance + 1);
    }
    return present;
  }
}

template <typename Reader>
void ValueReader<Reader>::ReadContainer(uint8_t type, uint32_t depth, EncodableValue& out) {
  // Lists and maps recurse; past the depth limit the container reads as null and, as for an
  // unknown tag, nothing after its tag is consumed. The stack stays bounded whatever comes in.
  if (depth >= StandardCodecSerializer::kMaxNestingDepth) {
    WriteDiagnosticLine(
        "Value nested too deeply in StandardCodecSerializer::ReadValueOfType; limit is " +
        std::to_string(StandardCodecSerializer::kMaxNestingDepth) + " levels");
    return;
  }
  const size_t count = ReadSize();
  // Every element present takes at least its tag byte, so only a container running past the
  // end reads elements from no bytes at all; it stops after the allowance.
  size_t past_end = 0;
  auto another = [&](size_t read) {
    if (read >= count) {
      return false;
    }
    const std::optional<size_t> remaining = Remaining();
    return !(remaining && *remaining == 0 && ++past_end > kShortReadAllowance);
  };

  // A declared count proves nothing, so a container makes room only for a few elements and for
  // those it has seen in full, and otherwise grows as it reads: a hostile count then costs
  // nothing, and no open container can claim the bytes left while its children use them too.
  if (type == kList) {
    auto& list = out.emplace<EncodableList>();
    list.reserve(std::max(std::min(count, kReserveAhead), CountFlatValues(count, 1)));
    for (size_t read = 0; another(read); ++read) {
      if (list.size() == list.capacity()) {
        list.reserve(GrownCapacity(list.size(), count, 1));
      }
      ReadNested(depth + 1, list.emplace_back());
    }
    return;
  }

  // The pairs are read in sequence and ordered at the end, where a repeated key keeps its first
  // occurrence: well-formed maps from this encoder arrive in key order, those from the
  // application in its own order. Before the pairs would outgrow their room they are ordered
  // already and their repeats dropped, and they grow only when that did not free half the room:
  // a map that repeats its keys then holds little more than its distinct ones, and at least half
  // the room fills with new pairs between two such sorts, so they cost each pair read about what
  // one sort of the whole map would.
  std::vector<EncodableMap::value_type> pairs;
  pairs.reserve(std::max(std::min(count, kReserveAhead), CountFlatValues(count, 2)));
  for (size_t read = 0; another(read); ++read) {
    if (pairs.size() == pairs.capacity()) {
      internal::SortByKeyKeepingFirst(pairs);
      if (pairs.size() > pairs.capacity() / 2) {
        pairs.reserve(GrownCapacity(pairs.size(), count, 2));
      }
    }
    auto& pair = pairs.emplace_back();
    ReadNested(depth + 1, pair.first);
    ReadNested(depth + 1, pair.second);
  }
  out.emplace<EncodableMap>(std::move(pairs));
}

// Writes values for one serializer to one writer; the counterpart of ValueReader. Instantiated
// for the buffer writer, whose operations then inline, and for any other writer through its
// virtual operations. Nested values of the standard serializer are written by direct recursion;
// a derived serializer gets every nested value through its own WriteValue.
template <typename Writer>
class ValueWriter {
 public:
  ValueWriter(const StandardCodecSerializer& serializer, Writer* stream, bool standard)
      : serializer_(serializer), stream_(stream), standard_(standard) {}

  void Write(const EncodableValue& value);

 private:
  void WriteNested(const EncodableValue& value) {
    if (standard_) {
      Write(value);
    } else {
      serializer_.WriteValue(value, stream_);
    }
  }

  template <typename T>
  void WriteNumber(T number) {
    stream_->WriteBytes(reinterpret_cast<const uint8_t*>(&number), sizeof(number));
  }

  void WriteSize(size_t size) {
    if (size < 254) {
      stream_->WriteByte(static_cast<uint8_t>(size));
    } else if (size <= 0xFFFF) {
      stream_->WriteByte(254);
      WriteNumber(static_cast<uint16_t>(size));
    } else {
      stream_->WriteByte(255);
      WriteNumber(static_cast<uint32_t>(size));
    }
  }

  // The tag of a value with a size field, unless the size has no wire form: rather than send a
  // length that disagrees with the payload, which would garble everything after it, the value
  // then goes out as null.
  bool WriteSizedTag(uint8_t tag, size_t size) {
    if (size > kMaxSize) {
      WriteDiagnosticLine("Value too large in StandardCodecSerializer::WriteValue: " +
                          std::to_string(size) + " elements");
      stream_->WriteByte(kNull);
      return false;
    }
    stream_->WriteByte(tag);
    WriteSize(size);
    return true;
  }

  // A string, byte list or typed list: the size, the padding (also when empty), then all
  // elements with one WriteBytes.
  template <typename Content>
  void WriteArray(uint8_t tag, const Content& elements, uint8_t alignment) {
    if (!WriteSizedTag(tag, elements.size())) {
      return;
    }
    if (alignment != 0) {
      stream_->PadToAlignment(alignment);
    }
    if (!elements.empty()) {
      stream_->WriteBytes(reinterpret_cast<const uint8_t*>(elements.data()),
                          elements.size() * sizeof(typename Content::value_type));
    }
  }

  const StandardCodecSerializer& serializer_;
  Writer* const stream_;
  const bool standard_;
};

template <typename Writer>
void ValueWriter<Writer>::Write(const EncodableValue& value) {
  switch (value.index()) {
    case 0:
      stream_->WriteByte(kNull);
      return;
    case 1:
      stream_->WriteByte(*std::get_if<bool>(&value) ? kTrue : kFalse);
      return;
    case 2:
      stream_->WriteByte(kInt32);
      WriteNumber(*std::get_if<int32_t>(&value));
      return;
    case 3:
      stream_->WriteByte(kInt64);
      WriteNumber(*std::get_if<int64_t>(&value));
      return;
    case 4:
      stream_->WriteByte(kFloat64);
      stream_->PadToAlignment(8);
      WriteNumber(*std::get_if<double>(&value));
      return;
    case 5:
      WriteArray(kString, *std::get_if<std::string>(&value), 0);
      return;
    case 6:
      WriteArray(kUInt8List, *std::get_if<std::vector<uint8_t>>(&value), 0);
      return;
    case 7:
      WriteArray(kInt32List, *std::get_if<std::vector<int32_t>>(&value), 4);
      return;
    case 8:
      WriteArray(kInt64List, *std::get_if<std::vector<int64_t>>(&value), 8);
      return;
    case 9:
      WriteArray(kFloat64List, *std::get_if<std::vector<double>>(&value), 8);
      return;
    case 10: {
      const EncodableList& list = *std::get_if<EncodableList>(&value);
      if (WriteSizedTag(kList, list.size())) {
        for (const EncodableValue& element : list) {
          WriteNested(element);
        }
      }
      return;
    }
    case 11: {
      const EncodableMap& map = *std::get_if<EncodableMap>(&value);
      if (WriteSizedTag(kMap, map.size())) {
        for (const auto& [key, element] : map) {
          WriteNested(key);
          WriteNested(element);
        }
      }
      return;
    }
    case 12:
      stream_->WriteByte(kNull);
      WriteDiagnosticLine(
          "Unhandled custom type in StandardCodecSerializer::WriteValue. "
          "Custom types require codec extensions.");
      return;
    case 13:
      WriteArray(kFloat32List, *std::get_if<std::vector<float>>(&value), 4);
      return;
    default:
      // Only a value left empty by a throwing assignment gets here; it has no content to send.
      stream_->WriteByte(kNull);
      return;
  }
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
  const bool standard = typeid(*this) == typeid(StandardCodecSerializer);
  if (typeid(*stream) == typeid(ByteBufferStreamWriter)) {
    auto* buffer = static_cast<ByteBufferStreamWriter*>(stream);
    ValueWriter<ByteBufferStreamWriter>(*this, buffer, standard).Write(value);
  } else {
    ValueWriter<ByteStreamWriter>(*this, stream, standard).Write(value);
  }
}

void StandardCodecSerializer::WriteStringValue(std::string_view text,
                                               ByteStreamWriter* stream) const {
  if (typeid(*this) != typeid(StandardCodecSerializer)) {
    // A derived serializer sees the string as a value, as it sees every other.
    WriteValue(EncodableValue(std::string(text)), stream);
    return;
  }
  if (text.size() > kMaxSize) {
    WriteValue(EncodableValue(std::string(text)), stream);  // reports it and writes null
    return;
  }
  stream->WriteByte(kString);
  WriteSize(text.size(), stream);
  if (!text.empty()) {
    stream->WriteBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
}

EncodableValue StandardCodecSerializer::ReadValueOfType(uint8_t type,
                                                        ByteStreamReader* stream) const {
  const bool standard = typeid(*this) == typeid(StandardCodecSerializer);
  EncodableValue value;
  // The buffer reader is looked for first: a type_info comparison that fails may compare the
  // two names character by character.
  if (typeid(*stream) == typeid(ByteBufferStreamReader)) {
    auto* buffer = static_cast<ByteBufferStreamReader*>(stream);
    ValueReader<ByteBufferStreamReader>(*this, buffer, standard).Read(type, 0, value);
    return value;
  }
  // A derived serializer's nested value arrives here through its own hook, with the depth of the
  // list or map around it.
  uint32_t depth = 0;
  if (typeid(*stream) == typeid(NestedStream)) {
    const auto* nested = static_cast<NestedStream*>(stream);
    depth = nested->depth();
    stream = nested->inner();
  }
  if (typeid(*stream) == typeid(ByteBufferStreamReader)) {
    auto* buffer = static_cast<ByteBufferStreamReader*>(stream);
    ValueReader<ByteBufferStreamReader>(*this, buffer, standard).Read(type, depth, value);
  } else {
    ValueReader<ByteStreamReader>(*this, stream, standard).Read(type, depth, value);
  }
  return value;
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
