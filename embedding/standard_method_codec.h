// The standard method codec: calls and envelopes of the standard message encoding.
#ifndef ORVANE_EMBEDDING_STANDARD_METHOD_CODEC_H_
#define ORVANE_EMBEDDING_STANDARD_METHOD_CODEC_H_

#include "embedding/encodable_value.h"
#include "embedding/method_codec.h"
#include "embedding/standard_codec_serializer.h"

namespace flutter {

// A call is the method name (a string) followed by the arguments (null when absent). A success
// envelope is the byte 0 and the result; an error envelope is the byte 1, the code, the message
// (null when empty) and the details.
class StandardMethodCodec : public MethodCodec<EncodableValue> {
 public:
  // The codec for `serializer` (the shared standard one when null): one per serializer, made on
  // first use and kept until the process ends, so channels may hold plain references to it.
  static const StandardMethodCodec& SharedInstance(
      const StandardCodecSerializer* serializer = nullptr);

  std::unique_ptr<MethodCall<EncodableValue>> DecodeCall(const uint8_t* message,
                                                         size_t message_size) const override;
  std::vector<uint8_t> EncodeCall(const MethodCall<EncodableValue>& call) const override;
  std::vector<uint8_t> EncodeSuccess(const EncodableValue* result) const override;
  std::vector<uint8_t> EncodeError(const std::string& error_code, const std::string& error_message,
                                   const EncodableValue* error_details) const override;
  // An error envelope whose code is not a string, or whose message is neither null nor a string,
  // is no envelope: false, and `result` hears nothing.
  [[nodiscard]] bool DecodeReply(const uint8_t* reply, size_t reply_size,
                                 MethodResult<EncodableValue>* result) const override;

 private:
  explicit StandardMethodCodec(const StandardCodecSerializer& serializer) noexcept
      : serializer_(serializer) {}

  const StandardCodecSerializer& serializer_;
};

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_STANDARD_METHOD_CODEC_H_
