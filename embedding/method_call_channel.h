// Method calls over a channel: incoming calls decoded and handed to a handler, outgoing calls
// encoded and sent.
#ifndef ORVANE_EMBEDDING_METHOD_CALL_CHANNEL_H_
#define ORVANE_EMBEDDING_METHOD_CALL_CHANNEL_H_

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "embedding/binary_messenger.h"
#include "embedding/diagnostics.h"
#include "embedding/engine_method_result.h"
#include "embedding/method_call.h"
#include "embedding/method_codec.h"
#include "embedding/method_result.h"

namespace flutter {

template <typename T>
class MethodCallChannel {
 public:
  // `messenger` must outlive the channel; `codec` lives for the process (a shared instance).
  MethodCallChannel(BinaryMessenger* messenger, const std::string& name,
                    const MethodCodec<T>* codec)
      : messenger_(messenger), name_(name), codec_(codec) {}
  ~MethodCallChannel() = default;

  MethodCallChannel(const MethodCallChannel&) = delete;
  MethodCallChannel& operator=(const MethodCallChannel&) = delete;

  // Sends the call `method` with `arguments` (null: none). With a `result`, the application's
  // answer is decoded into it: an empty answer, or one that is not an envelope, as
  // NotImplemented.
  void Invoke(const std::string& method, std::unique_ptr<T> arguments,
              std::unique_ptr<MethodResult<T>> result = nullptr) {
    const MethodCall<T> call(method, std::move(arguments));
    const std::vector<uint8_t> message = codec_->EncodeCall(call);
    if (!result) {
      messenger_->Send(name_, message.data(), message.size(), nullptr);
      return;
    }
    std::shared_ptr<MethodResult<T>> shared_result = std::move(result);
    BinaryReply on_reply = [shared_result, codec = codec_, name = name_](const uint8_t* reply,
                                                                         size_t reply_size) {
      if (reply == nullptr || reply_size == 0) {
        shared_result->NotImplemented();
        return;
      }
      if (!codec->DecodeReply(reply, reply_size, shared_result.get())) {
        WriteDiagnosticLine("Unable to decode reply to method invocation on channel " + name);
        shared_result->NotImplemented();
      }
    };
    messenger_->Send(name_, message.data(), message.size(), std::move(on_reply));
  }

  // Hands every call arriving on the channel to `handler`; an empty handler removes it. The
  // registered handler holds copies of what it needs, not the channel, so it may outlive it.
  void SetCallHandler(CallHandler<T> handler) {
    if (!handler) {
      messenger_->SetMessageHandler(name_, nullptr);
      return;
    }
    messenger_->SetMessageHandler(
        name_, [handler = std::move(handler), codec = codec_, name = name_](
                   const uint8_t* message, size_t message_size, BinaryReply reply) {
          auto result = std::make_unique<EngineMethodResult<T>>(std::move(reply), codec);
          const std::unique_ptr<MethodCall<T>> call = codec->DecodeCall(message, message_size);
          if (!call) {
            WriteDiagnosticLine("Unable to construct method call from message on channel " + name);
            result->NotImplemented();
            return;
          }
          handler(*call, std::move(result));
        });
  }

 private:
  BinaryMessenger* messenger_;
  std::string name_;
  const MethodCodec<T>* codec_;
};

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_METHOD_CALL_CHANNEL_H_
