#include "embedding/byte_streams.h"

#include <cstring>

#include "embedding/diagnostics.h"

namespace flutter {

namespace {
constexpr char kInvalidRead[] = "Invalid read in StandardCodecByteStreamReader";
}  // namespace

ByteBufferStreamReader::ByteBufferStreamReader(const uint8_t* bytes, size_t size) noexcept
    : bytes_(bytes), size_(size) {}

uint8_t ByteBufferStreamReader::ReadByte() {
  if (position_ >= size_) {
    WriteDiagnosticLine(kInvalidRead);
    return 0;
  }
  return bytes_[position_++];
}

void ByteBufferStreamReader::ReadBytes(uint8_t* buffer, size_t length) {
  // Written so that neither side can overflow: the position may already lie past the end.
  if (position_ > size_ || length > size_ - position_) {
    WriteDiagnosticLine(kInvalidRead);
    return;
  }
  if (length != 0) {
    std::memcpy(buffer, bytes_ + position_, length);
  }
  position_ += length;
}

void ByteBufferStreamReader::SkipToAlignment(uint8_t alignment) {
  if (alignment == 0) {
    return;
  }
  const uint64_t remainder = position_ % alignment;
  if (remainder != 0) {
    position_ += alignment - remainder;
  }
}

std::optional<size_t> ByteBufferStreamReader::BytesRemaining() const {
  return position_ >= size_ ? 0 : static_cast<size_t>(size_ - position_);
}

ByteBufferStreamWriter::ByteBufferStreamWriter(std::vector<uint8_t>* buffer) noexcept
    : buffer_(*buffer) {}

void ByteBufferStreamWriter::WriteByte(uint8_t byte) {
  buffer_.push_back(byte);
}

void ByteBufferStreamWriter::WriteBytes(const uint8_t* bytes, size_t length) {
  if (length != 0) {
    buffer_.insert(buffer_.end(), bytes, bytes + length);
  }
}

void ByteBufferStreamWriter::PadToAlignment(uint8_t alignment) {
  if (alignment == 0) {
    return;
  }
  const size_t remainder = buffer_.size() % alignment;
  if (remainder != 0) {
    for (size_t i = remainder; i < alignment; ++i) {
      WriteByte(0);
    }
  }
}

}  // namespace flutter
