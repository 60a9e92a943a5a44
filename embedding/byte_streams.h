// The byte streams that the serializer reads from and writes to, and their buffer-backed forms.
#ifndef ORVANE_EMBEDDING_BYTE_STREAMS_H_
#define ORVANE_EMBEDDING_BYTE_STREAMS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace flutter {

class ByteStreamReader {
 public:
  virtual ~ByteStreamReader() = default;
  // The next byte, or 0 (with a diagnostic) when there is none.
  virtual uint8_t ReadByte() = 0;
  // Copies the next `length` bytes into `buffer`, which holds at least that many; when fewer are
  // left it copies nothing, moves nothing and writes a diagnostic.
  virtual void ReadBytes(uint8_t* buffer, size_t length) = 0;
  // Advances to the next position that is a multiple of `alignment`.
  virtual void SkipToAlignment(uint8_t alignment) = 0;
  // How many bytes are left, for a reader that knows. The serializer checks declared sizes
  // against it before it allocates, so that a few hostile bytes cannot ask for gigabytes; a
  // reader that cannot tell (nullopt) gets declared sizes trusted. A reader that tells promises
  // that ReadBytes of more than this fails.
  virtual std::optional<size_t> BytesRemaining() const { return std::nullopt; }
};

class ByteStreamWriter {
 public:
  virtual ~ByteStreamWriter() = default;
  virtual void WriteByte(uint8_t byte) = 0;
  virtual void WriteBytes(const uint8_t* bytes, size_t length) = 0;
  // Appends zero bytes up to the next position that is a multiple of `alignment`.
  virtual void PadToAlignment(uint8_t alignment) = 0;
};

// Reads in place from a buffer that the caller owns and keeps alive for the reader's lifetime.
// Positions count from the buffer's first byte, which is what alignment is relative to. The
// operations are defined here so that the serializer, which recognises this reader, can inline
// them on its hot paths instead of paying a virtual call per byte.
class ByteBufferStreamReader final : public ByteStreamReader {
 public:
  ByteBufferStreamReader(const uint8_t* bytes, size_t size) noexcept : bytes_(bytes), size_(size) {}

  uint8_t ReadByte() override {
    if (position_ >= size_) {
      ReportInvalidRead();
      return 0;
    }
    return bytes_[position_++];
  }

  void ReadBytes(uint8_t* buffer, size_t length) override {
    // Written so that nothing can overflow: the position may already lie past the end.
    if (position_ > size_ || length > size_ - position_) {
      ReportInvalidRead();
      return;
    }
    if (length != 0) {
      std::memcpy(buffer, bytes_ + position_, length);
    }
    position_ += length;
  }

  // No bounds check: the position may pass the end, and the next read then fails.
  void SkipToAlignment(uint8_t alignment) override {
    if (alignment == 0) {
      return;
    }
    const uint64_t remainder = position_ % alignment;
    if (remainder != 0) {
      position_ += alignment - remainder;
    }
  }

  std::optional<size_t> BytesRemaining() const override { return Remaining(); }

  // Not virtual: for callers that know they hold this reader.
  size_t Remaining() const noexcept {
    return position_ >= size_ ? 0 : static_cast<size_t>(size_ - position_);
  }

  // The next `length` bytes in place, and moves past them. Not virtual: for callers that know
  // they hold this reader and have checked that `length` bytes remain.
  const uint8_t* TakeBytes(size_t length) noexcept {
    const uint8_t* first = bytes_ + position_;
    position_ += length;
    return first;
  }

  // Where the next read starts; may lie past the end after an alignment skip.
  uint64_t position() const noexcept { return position_; }
  // The whole buffer, for callers that look ahead without reading.
  const uint8_t* data() const noexcept { return bytes_; }
  uint64_t size() const noexcept { return size_; }

  // The diagnostic of a read past the end; out of line, off the hot path. Public for the
  // serializer, which reports a read it knows will fail instead of allocating for it.
  static void ReportInvalidRead() noexcept;

 private:
  const uint8_t* bytes_;
  uint64_t size_;
  uint64_t position_ = 0;
};

// Appends to a byte array that the caller owns; the writer's position is the array's length.
// Defined here for the same reason as the reader: the serializer recognises this writer and
// inlines its operations.
class ByteBufferStreamWriter final : public ByteStreamWriter {
 public:
  explicit ByteBufferStreamWriter(std::vector<uint8_t>* buffer) noexcept : buffer_(*buffer) {}

  void WriteByte(uint8_t byte) override { buffer_.push_back(byte); }

  void WriteBytes(const uint8_t* bytes, size_t length) override {
    if (length != 0) {
      buffer_.insert(buffer_.end(), bytes, bytes + length);
    }
  }

  void PadToAlignment(uint8_t alignment) override {
    if (alignment == 0) {
      return;
    }
    const size_t remainder = buffer_.size() % alignment;
    if (remainder != 0) {
      buffer_.resize(buffer_.size() + (alignment - remainder), 0);
    }
  }

 private:
  std::vector<uint8_t>& buffer_;
};

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_BYTE_STREAMS_H_
