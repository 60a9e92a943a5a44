// The one-shot answer to a method call that arrived from the engine.
#ifndef ORVANE_EMBEDDING_ENGINE_METHOD_RESULT_H_
#define ORVANE_EMBEDDING_ENGINE_METHOD_RESULT_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "embedding/binary_messenger.h"
#include "embedding/method_codec.h"
#include "embedding/method_result.h"
#include "embedding/recycled_storage.h"

namespace flutter {

// Holds the reply of one incoming message and lets it be used once.
class OneShotReply {
 public:
  explicit OneShotReply(BinaryReply reply);
  // Reports a reply never used. The message itself is still answered (empty) once the last
  // copy of its reply is gone; see DispatchIncomingMessage.
  ~OneShotReply();

  OneShotReply(const OneShotReply&) = delete;
  OneShotReply& operator=(const OneShotReply&) = delete;

  // Sends `data` (null: no data) as the reply; absent or empty data goes as a null pointer with
  // size 0. Every use after the first only reports the duplicate.
  void Deliver(const std::vector<uint8_t>* data);

 private:
  BinaryReply reply_;
};

// Made and dropped once per incoming call, so its storage is recycled.
template <typename T>
class EngineMethodResult : public MethodResult<T>,
                           public internal::RecycledStorage<EngineMethodResult<T>> {
 public:
  // `codec` is the channel's, which outlives every call on it.
  EngineMethodResult(BinaryReply reply, const MethodCodec<T>* codec)
      : reply_(std::move(reply)), codec_(codec) {}
  ~EngineMethodResult() override = default;

  EngineMethodResult(const EngineMethodResult&) = delete;
  EngineMethodResult& operator=(const EngineMethodResult&) = delete;

  using MethodResult<T>::Success;
  using MethodResult<T>::Error;

  // Each answer is encoded first, then delivered; a second answer is encoded for nothing and
  // only reported.
  void Success(const T* result) override {
    const std::vector<uint8_t> data = codec_->EncodeSuccess(result);
    reply_.Deliver(&data);
  }

  void Error(const std::string& code, const std::string& message, const T* details) override {
    const std::vector<uint8_t> data = codec_->EncodeError(code, message, details);
    reply_.Deliver(&data);
  }

  // The engine's convention for "no handler for this method": an empty response.
  void NotImplemented() override { reply_.Deliver(nullptr); }

 private:
  OneShotReply reply_;
  const MethodCodec<T>* codec_;
};

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_ENGINE_METHOD_RESULT_H_
