#include "embedding/byte_streams.h"

#include "embedding/diagnostics.h"

namespace flutter {

namespace {
constexpr char kInvalidRead[] = "Invalid read in StandardCodecByteStreamReader";
}  // namespace

void ByteBufferStreamReader::ReportInvalidRead() noexcept {
  WriteDiagnosticLine(kInvalidRead);
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
