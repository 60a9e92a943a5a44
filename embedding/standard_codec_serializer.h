// Turns one EncodableValue into the standard message encoding and back.
#ifndef ORVANE_EMBEDDING_STANDARD_CODEC_SERIALIZER_H_
#define ORVANE_EMBEDDING_STANDARD_CODEC_SERIALIZER_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "embedding/byte_streams.h"
#include "embedding/encodable_value.h"

namespace flutter {

// Stateless, so one shared instance serves every codec on every thread. A serializer for custom
// types derives from it, overrides WriteValue and ReadValueOfType for its own values and tags
// (tags 0 to 14 are the standard ones), and hands everything else to these; every nested element
// passes through the virtual hooks.
//
// Reading never throws for bad input: each undecodable piece writes one diagnostic line and reads
// as a defined value. Hostile input is bounded: a list or map nested more than kMaxNestingDepth
// deep reads as null, lists and maps grow as their elements are read, and nothing is allocated
// beyond what the bytes present can fill, so decoding a message costs memory in proportion to
// its size, not to the sizes it declares. A string or typed list longer than what is left reads as
// empty (as zeros when it is short), a list or map whose elements run past the end stops after a
// few of them; the failed reads report themselves as any short read does.
class StandardCodecSerializer {
 public:
  // Lists and maps inside lists and maps; a real channel message nests a handful of levels.
  static constexpr uint32_t kMaxNestingDepth = 256;

  StandardCodecSerializer() = default;
  virtual ~StandardCodecSerializer() = default;
  StandardCodecSerializer(const StandardCodecSerializer&) = delete;
  StandardCodecSerializer& operator=(const StandardCodecSerializer&) = delete;

  // The process-wide serializer, created on first use.
  static const StandardCodecSerializer& SharedInstance();

  // Writes one complete encoded value: tag and payload.
  virtual void WriteValue(const EncodableValue& value, ByteStreamWriter* stream) const;

  // Writes `text` as a string value, exactly as WriteValue of a string value made from it would
  // (a derived serializer sees that value), without copying the text into a value first.
  void WriteStringValue(std::string_view text, ByteStreamWriter* stream) const;

  // Reads the payload of a value whose tag the caller has already consumed.
  virtual EncodableValue ReadValueOfType(uint8_t type, ByteStreamReader* stream) const;

  // Reads a tag and hands it to ReadValueOfType through the virtual dispatch.
  EncodableValue ReadValue(ByteStreamReader* stream) const;

  // The size field: one byte below 254, else 254 and 16 bits, else 255 and 32 bits. A size that
  // does not fit in 32 bits is written as 0 with a diagnostic; WriteValue never asks for one.
  void WriteSize(size_t size, ByteStreamWriter* stream) const;
  // Accepts the longer forms too; a short read yields 0.
  size_t ReadSize(ByteStreamReader* stream) const;
};

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_STANDARD_CODEC_SERIALIZER_H_
