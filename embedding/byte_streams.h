// The byte streams that the serializer reads from and writes to, and their buffer-backed forms.
#ifndef ORVANE_EMBEDDING_BYTE_STREAMS_H_
#define ORVANE_EMBEDDING_BYTE_STREAMS_H_

#include <cstddef>
#include <cstdint>
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
  // reader that cannot tell (nullopt) gets declared sizes trusted.
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
// Positions count from the buffer's first byte, which is what alignment is relative to.
class ByteBufferStreamReader final : public ByteStreamReader {
 public:
  ByteBufferStreamReader(const uint8_t* bytes, size_t size) noexcept;

  uint8_t ReadByte() override;
  void ReadBytes(uint8_t* buffer, size_t length) override;
  void SkipToAlignment(uint8_t alignment) override;
  std::optional<size_t> BytesRemaining() const override;

  // Where the next read starts; may lie past the end after an alignment skip.
  uint64_t position() const noexcept { return position_; }

 private:
  const uint8_t* bytes_;
  uint64_t size_;
  uint64_t position_ = 0;
};

// Appends to a byte array that the caller owns; the writer's position is the array's length.
class ByteBufferStreamWriter final : public ByteStreamWriter {
 public:
  explicit ByteBufferStreamWriter(std::vector<uint8_t>* buffer) noexcept;

  void WriteByte(uint8_t byte) override;
  void WriteBytes(const uint8_t* bytes, size_t length) override;
  void PadToAlignment(uint8_t alignment) override;

 private:
  std::vector<uint8_t>& buffer_;
};

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_BYTE_STREAMS_H_
