#include "embedding/standard_method_codec.h"

#include <map>
#include <mutex>

#include "embedding/byte_streams.h"
#include "embedding/diagnostics.h"

namespace flutter {

namespace {
constexpr uint8_t kSuccessEnvelope = 0;
constexpr uint8_t kErrorEnvelope = 1;
// Room for a short call or reply without growing the array.
constexpr size_t kInitialCapacity = 64;

const EncodableValue kNullValue;

// By reference: `value ? *value : EncodableValue()` would copy the whole tree into a temporary.
const EncodableValue& ValueOrNull(const EncodableValue* value) {
  return value != nullptr ? *value : kNullValue;
}
}  // namespace

const StandardMethodCodec& StandardMethodCodec::SharedInstance(
    const StandardCodecSerializer* serializer) {
  if (serializer == nullptr) {
    serializer = &StandardCodecSerializer::SharedInstance();
  }
  // Never destroyed: channels keep plain references to their codec until the process ends.
  // The lock makes concurrent first uses with different serializers safe as well.
  static auto* const codecs =
      new std::map<const StandardCodecSerializer*, std::unique_ptr<StandardMethodCodec>>();
  static std::mutex* const codecs_lock = new std::mutex();
  std::lock_guard<std::mutex> lock(*codecs_lock);
  auto& codec = (*codecs)[serializer];
  if (!codec) {
    codec.reset(new StandardMethodCodec(*serializer));
  }
  return *codec;
}

std::unique_ptr<MethodCall<EncodableValue>> StandardMethodCodec::DecodeCall(
    const uint8_t* message, size_t message_size) const {
  ByteBufferStreamReader stream(message, message_size);
  EncodableValue name = serializer_.ReadValue(&stream);
  auto* name_text = std::get_if<std::string>(&name);
  if (name_text == nullptr) {
    WriteDiagnosticLine("Invalid method call; method name is not a string.");
    return nullptr;
  }
  // Always present after decoding; null when the message carried null or ended after the name.
  auto arguments = std::make_unique<EncodableValue>(serializer_.ReadValue(&stream));
  return std::make_unique<MethodCall<EncodableValue>>(std::move(*name_text), std::move(arguments));
}

std::vector<uint8_t> StandardMethodCodec::EncodeCall(const MethodCall<EncodableValue>& call) const {
  std::vector<uint8_t> message;
  message.reserve(kInitialCapacity);
  ByteBufferStreamWriter stream(&message);
  serializer_.WriteStringValue(call.method_name(), &stream);
  serializer_.WriteValue(ValueOrNull(call.arguments()), &stream);
  return message;
}

std::vector<uint8_t> StandardMethodCodec::EncodeSuccess(const EncodableValue* result) const {
  std::vector<uint8_t> message;
  message.reserve(kInitialCapacity);
  ByteBufferStreamWriter stream(&message);
  stream.WriteByte(kSuccessEnvelope);
  serializer_.WriteValue(ValueOrNull(result), &stream);
  return message;
}

std::vector<uint8_t> StandardMethodCodec::EncodeError(const std::string& error_code,
                                                      const std::string& error_message,
                                                      const EncodableValue* error_details) const {
  std::vector<uint8_t> message;
  message.reserve(kInitialCapacity);
  ByteBufferStreamWriter stream(&message);
  stream.WriteByte(kErrorEnvelope);
  serializer_.WriteStringValue(error_code, &stream);
  if (error_message.empty()) {
    serializer_.WriteValue(kNullValue, &stream);
  } else {
    serializer_.WriteStringValue(error_message, &stream);
  }
  serializer_.WriteValue(ValueOrNull(error_details), &stream);
  return message;
}

bool StandardMethodCodec::DecodeReply(const uint8_t* reply, size_t reply_size,
                                      MethodResult<EncodableValue>* result) const {
  ByteBufferStreamReader stream(reply, reply_size);
  const uint8_t envelope = stream.ReadByte();
  if (envelope == kSuccessEnvelope) {
    const EncodableValue value = serializer_.ReadValue(&stream);
    result->Success(value.IsNull() ? nullptr : &value);
    return true;
  }
  if (envelope != kErrorEnvelope) {
    return false;
  }
  const EncodableValue code = serializer_.ReadValue(&stream);
  const EncodableValue message = serializer_.ReadValue(&stream);
  const EncodableValue details = serializer_.ReadValue(&stream);
  const auto* code_text = std::get_if<std::string>(&code);
  const auto* message_text = std::get_if<std::string>(&message);
  if (code_text == nullptr || (message_text == nullptr && !message.IsNull())) {
    // Not an error envelope of this encoding; the caller reports an undecodable reply.
    return false;
  }
  result->Error(*code_text, message_text ? *message_text : std::string(),
                details.IsNull() ? nullptr : &details);
  return true;
}

}  // namespace flutter
