// The messenger over the engine's C interface.
#ifndef ORVANE_EMBEDDING_BINARY_MESSENGER_IMPL_H_
#define ORVANE_EMBEDDING_BINARY_MESSENGER_IMPL_H_

#include <map>
#include <memory>
#include <string>

#include "embedding/binary_messenger.h"
#include "embedding/flutter_messenger.h"

namespace flutter {

class BinaryMessengerImpl : public BinaryMessenger {
 public:
  // `core_messenger` is neither owned nor referenced: the engine that owns it outlives this.
  explicit BinaryMessengerImpl(FlutterDesktopMessengerRef core_messenger);
  // Frees the handlers without unregistering them: by now the engine is shut down (or about to
  // be) and must not be called, so it must deliver nothing more on these channels.
  ~BinaryMessengerImpl() override;

  BinaryMessengerImpl(const BinaryMessengerImpl&) = delete;
  BinaryMessengerImpl& operator=(const BinaryMessengerImpl&) = delete;

  void Send(const std::string& channel, const uint8_t* message, size_t message_size,
            BinaryReply reply = nullptr) const override;
  void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) override;

 private:
  FlutterDesktopMessengerRef messenger_;
  // Node-based on purpose: the engine holds the address of each entry's handler pointer as its
  // callback data, so an entry must keep its address until it is removed, and a replaced handler
  // is assigned into the same entry. Handlers are shared so that a dispatch can keep the one it
  // runs alive: a handler may replace or remove itself, or have the messenger destroyed (the host
  // window releases its channel while a call can be on the stack), before it returns.
  std::map<std::string, std::shared_ptr<BinaryMessageHandler>> handlers_;
};

// The engine callback registered for every channel that has a handler; `user_data` is the
// address of the stored handler's shared pointer. Every message it receives is answered exactly
// once: by the handler, or with an empty response when the last copy of the message's reply
// goes away unanswered (the handler dropped it, or threw).
void DispatchIncomingMessage(FlutterDesktopMessengerRef messenger,
                             const FlutterDesktopMessage* message, void* user_data) noexcept;

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_BINARY_MESSENGER_IMPL_H_
