// Turns method calls and their answers into channel messages and back.
#ifndef ORVANE_EMBEDDING_METHOD_CODEC_H_
#define ORVANE_EMBEDDING_METHOD_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "embedding/method_call.h"
#include "embedding/method_result.h"

namespace flutter {

// Codecs hold no state of their own: every operation is const and independent of the others.
// Encoders return a new array that belongs to the caller; decoders read the caller's buffer in
// place and keep nothing of it.
template <typename T>
class MethodCodec {
 public:
  MethodCodec() = default;
  virtual ~MethodCodec() = default;

  MethodCodec(const MethodCodec&) = delete;
  MethodCodec& operator=(const MethodCodec&) = delete;

  // Null when the message is not a method call.
  virtual std::unique_ptr<MethodCall<T>> DecodeCall(const uint8_t* message,
                                                    size_t message_size) const = 0;
  virtual std::vector<uint8_t> EncodeCall(const MethodCall<T>& call) const = 0;
  // `result` null: a success without a value.
  virtual std::vector<uint8_t> EncodeSuccess(const T* result) const = 0;
  // `error_details` null: an error without details.
  virtual std::vector<uint8_t> EncodeError(const std::string& error_code,
                                           const std::string& error_message,
                                           const T* error_details) const = 0;
  // True when the reply was a success or error envelope and `result` has been told which, with
  // exactly one call; false, with no call on `result`, when it was neither.
  [[nodiscard]] virtual bool DecodeReply(const uint8_t* reply, size_t reply_size,
                                         MethodResult<T>* result) const = 0;
};

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_METHOD_CODEC_H_
