#include "embedding/binary_messenger_impl.h"

#include <atomic>
#include <memory>
#include <utility>

#include "embedding/diagnostics.h"
#include "embedding/recycled_storage.h"

namespace flutter {
namespace {

// Holds the engine messenger's lock for one scope, when the engine granted it.
class MessengerLock {
 public:
  explicit MessengerLock(FlutterDesktopMessengerRef messenger) noexcept
      : locked_(FlutterDesktopMessengerLock(messenger)) {}
  ~MessengerLock() {
    if (locked_ != nullptr) {
      FlutterDesktopMessengerUnlock(locked_);
    }
  }
  MessengerLock(const MessengerLock&) = delete;
  MessengerLock& operator=(const MessengerLock&) = delete;

 private:
  FlutterDesktopMessengerRef locked_;
};

// Sends one response for `handle` unless the engine has gone. The check and the response happen
// under the messenger's lock: the engine takes that lock when it goes, so it cannot go between
// the two.
void RespondIfAvailable(FlutterDesktopMessengerRef messenger,
                        const FlutterDesktopMessageResponseHandle* handle, const uint8_t* data,
                        size_t size, std::atomic<bool>* answered) noexcept {
  MessengerLock lock(messenger);
  if (!FlutterDesktopMessengerIsAvailable(messenger)) {
    return;  // the engine is gone: nobody is waiting for this response any more
  }
  if (answered != nullptr && answered->exchange(true)) {
    WriteDiagnosticLine("Error: Response can be set only once. Ignoring duplicate response.");
    return;
  }
  FlutterDesktopMessengerSendResponse(messenger, handle, data, size);
}

// What every copy of one incoming message's reply shares: a reference that keeps the engine's
// messenger alive (the reply may outlive the engine), the message's response handle, and whether
// the message has been answered. Freed with the last copy of the reply.
//
// The answered flag is deliberately shared rather than kept per copy: were each copy to hold its
// own handle, a handler that copied its reply and called both copies would send two responses on
// one handle, and the engine frees a handle with its first response.
class IncomingReplyState : public internal::RecycledStorage<IncomingReplyState> {
 public:
  IncomingReplyState(FlutterDesktopMessengerRef messenger,
                     const FlutterDesktopMessageResponseHandle* response_handle) noexcept
      : messenger_(FlutterDesktopMessengerAddRef(messenger)), response_handle_(response_handle) {}

  // The last copy is gone. A message nobody answered (the handler dropped its reply, or threw)
  // still gets its one response, an empty one, so the application is not left waiting.
  ~IncomingReplyState() {
    if (!answered_.load()) {
      RespondIfAvailable(messenger_, response_handle_, nullptr, 0, &answered_);
    }
    FlutterDesktopMessengerRelease(messenger_);
  }

  IncomingReplyState(const IncomingReplyState&) = delete;
  IncomingReplyState& operator=(const IncomingReplyState&) = delete;

  void Respond(const uint8_t* data, size_t size) noexcept {
    RespondIfAvailable(messenger_, response_handle_, data, size, &answered_);
  }

  void AddOwner() noexcept { owners_.fetch_add(1, std::memory_order_relaxed); }
  // True for the last owner, which then deletes the state.
  bool DropOwner() noexcept { return owners_.fetch_sub(1, std::memory_order_acq_rel) == 1; }

 private:
  FlutterDesktopMessengerRef messenger_;
  const FlutterDesktopMessageResponseHandle* response_handle_;
  std::atomic<bool> answered_{false};
  std::atomic<size_t> owners_{1};
};

// The BinaryReply handed to the handler of an incoming message: one owner of the shared state.
// It may be copied, kept and called later or from another thread.
class IncomingReply : public internal::RecycledStorage<IncomingReply> {
 public:
  // Takes over the state's first owner.
  explicit IncomingReply(IncomingReplyState* state) noexcept : state_(state) {}
  IncomingReply(const IncomingReply& other) noexcept : state_(other.state_) { state_->AddOwner(); }
  IncomingReply(IncomingReply&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
  IncomingReply& operator=(const IncomingReply&) = delete;
  IncomingReply& operator=(IncomingReply&&) = delete;
  ~IncomingReply() {
    if (state_ != nullptr && state_->DropOwner()) {
      delete state_;
    }
  }

  void operator()(const uint8_t* data, size_t size) const noexcept { state_->Respond(data, size); }

 private:
  IncomingReplyState* state_;
};

// The engine's reply to a message sent with a reply: runs the caller's BinaryReply once and frees
// it. A C callback, so nothing the caller's reply throws may leave it.
void ForwardReply(const uint8_t* data, size_t data_size, void* user_data) noexcept {
  std::unique_ptr<BinaryReply> reply(static_cast<BinaryReply*>(user_data));
  if (reply == nullptr || !*reply) {
    return;
  }
  try {
    (*reply)(data, data_size);
  } catch (...) {
    // The reply's own failure; the engine has nothing to do with it.
  }
}

}  // namespace

BinaryMessengerImpl::BinaryMessengerImpl(FlutterDesktopMessengerRef core_messenger)
    : messenger_(core_messenger) {}

BinaryMessengerImpl::~BinaryMessengerImpl() = default;

void BinaryMessengerImpl::Send(const std::string& channel, const uint8_t* message,
                               size_t message_size, BinaryReply reply) const {
  if (!reply) {
    (void)FlutterDesktopMessengerSend(messenger_, channel.c_str(), message, message_size);
    return;
  }
  // Ownership passes to the engine before the call: it may run the reply, and so free it,
  // before it returns.
  auto* held = new BinaryReply(std::move(reply));
  if (!FlutterDesktopMessengerSendWithReply(messenger_, channel.c_str(), message, message_size,
                                            ForwardReply, held)) {
    delete held;  // nothing was sent, so the engine will never call the reply
  }
}

void BinaryMessengerImpl::SetMessageHandler(const std::string& channel,
                                            BinaryMessageHandler handler) {
  if (!handler) {
    handlers_.erase(channel);
    FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), nullptr, nullptr);
    return;
  }
  // insert_or_assign keeps an existing entry (and so the address the engine holds) and assigns
  // the new handler into it.
  auto held = std::make_shared<BinaryMessageHandler>(std::move(handler));
  const auto [entry, inserted] = handlers_.insert_or_assign(channel, std::move(held));
  FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), DispatchIncomingMessage,
                                     &entry->second);
}

void DispatchIncomingMessage(FlutterDesktopMessengerRef messenger,
                             const FlutterDesktopMessage* message, void* user_data) noexcept {
  if (message == nullptr) {
    return;
  }
  bool reply_made = false;
  try {
    IncomingReply owner(new IncomingReplyState(messenger, message->response_handle));
    reply_made = true;
    BinaryReply reply = std::move(owner);
    // Our own reference for the length of the call: the entry may be reassigned, erased or
    // destroyed with the messenger while the handler runs.
    const auto* entry = static_cast<const std::shared_ptr<BinaryMessageHandler>*>(user_data);
    const std::shared_ptr<BinaryMessageHandler> handler =
        entry != nullptr ? *entry : std::shared_ptr<BinaryMessageHandler>();
    if (handler != nullptr && *handler) {
      (*handler)(message->message, message->message_size, std::move(reply));
    }
  } catch (...) {
    // A failing handler must not unwind into the engine. Its copies of the reply were destroyed
    // on the way here; unless it answered (or kept a copy), the last one answered empty.
  }
  if (!reply_made) {
    // Not even the reply state could be made (out of memory): answer empty from here.
    RespondIfAvailable(messenger, message->response_handle, nullptr, 0, nullptr);
  }
}

}  // namespace flutter
