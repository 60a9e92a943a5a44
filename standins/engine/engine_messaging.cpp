#include "standins/engine/engine_messaging.h"

#include <atomic>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>

// The messenger object behind the host's `FlutterDesktopMessengerRef`.
//
// Lock order, where more than one is held: `lock`, then `guard`, then the state's `mutex`.
// None of them is held while a host callback runs.
struct FlutterDesktopMessenger {
  // The engine's own reference plus one per FlutterDesktopMessengerAddRef.
  std::atomic<int> references{1};
  // FlutterDesktopMessengerLock / Unlock. The engine takes it too when it becomes unavailable,
  // so a response checked and sent under it cannot race the engine's end.
  std::mutex lock;
  // Guards `state`, which is null once the engine has gone while the host still holds
  // references.
  std::mutex guard;
  standin::EngineMessaging::State* state = nullptr;
};

namespace standin {
namespace {

// Response handles are never dereferenced, so they carry the delivery id in the pointer value
// itself: a stale or repeated handle can be recognised without touching freed memory, and two
// deliveries never share a handle.
constexpr uintptr_t kHandleStride = 16;

const FlutterDesktopMessageResponseHandle* HandleFor(DeliveryId delivery) noexcept {
  return reinterpret_cast<const FlutterDesktopMessageResponseHandle*>(
      static_cast<uintptr_t>(delivery) * kHandleStride);
}

DeliveryId DeliveryFor(const FlutterDesktopMessageResponseHandle* handle) noexcept {
  const auto value = reinterpret_cast<uintptr_t>(handle);
  if (value == 0 || value % kHandleStride != 0) {
    return 0;
  }
  return value / kHandleStride;
}

std::vector<uint8_t> CopyBytes(const uint8_t* data, size_t size) {
  if (data == nullptr || size == 0) {
    return {};
  }
  return std::vector<uint8_t>(data, data + size);
}

}  // namespace

struct EngineMessaging::State {
  struct Handler {
    FlutterDesktopMessageCallback callback = nullptr;
    void* user_data = nullptr;
  };
  struct Delivery {
    bool answered = false;
    std::vector<uint8_t> response;
  };
  struct PendingReply {
    FlutterDesktopBinaryReply reply = nullptr;
    void* user_data = nullptr;
  };
  struct Activity {
    void (*callback)(void*) = nullptr;
    void* user_data = nullptr;
    void operator()() const {
      if (callback != nullptr) {
        callback(user_data);
      }
    }
  };

  FlutterDesktopMessenger* messenger = nullptr;

  mutable std::mutex mutex;  // guards everything below
  bool available = true;
  bool logging = true;
  std::map<std::string, Handler, std::less<>> handlers;
  DeliveryId next_delivery = 1;
  std::unordered_map<DeliveryId, Delivery> deliveries;
  std::vector<HostMessage> host_messages;
  std::unordered_map<uint64_t, PendingReply> pending_replies;
  std::vector<HostCall> log;
  size_t refused = 0;
  size_t dropped = 0;
  Activity activity;

  Activity CurrentActivity() {
    std::lock_guard hold(mutex);
    return activity;
  }

  // Caller holds `mutex`. A full log is not worth failing the host's call for.
  void Log(HostCall call) noexcept {
    if (!logging) {
      return;
    }
    try {
      log.push_back(std::move(call));
    } catch (...) {
    }
  }
  void Log(HostCallKind kind) noexcept {
    if (!logging) {
      return;
    }
    try {
      HostCall call;
      call.kind = kind;
      log.push_back(std::move(call));
    } catch (...) {
    }
  }

  bool AcceptHostMessage(const char* channel, const uint8_t* message, size_t message_size,
                         bool with_reply_kind, FlutterDesktopBinaryReply reply, void* user_data) {
    std::lock_guard hold(mutex);
    const bool sendable =
        available && channel != nullptr && (message != nullptr || message_size == 0);
    if (logging) {
      HostCall call;
      call.kind = with_reply_kind ? HostCallKind::kSendWithReply : HostCallKind::kSend;
      call.channel = channel != nullptr ? channel : "";
      call.bytes = CopyBytes(message, message_size);
      call.user_data = user_data;
      call.accepted = sendable;
      Log(std::move(call));
    }
    if (!sendable) {
      return false;
    }
    HostMessage sent;
    sent.id = host_messages.size() + 1;
    sent.channel = channel;
    sent.bytes = CopyBytes(message, message_size);
    sent.expects_reply = reply != nullptr;
    const uint64_t id = sent.id;
    host_messages.push_back(std::move(sent));
    if (reply != nullptr) {
      pending_replies.emplace(id, PendingReply{reply, user_data});
    }
    return true;
  }

  void AcceptResponse(const FlutterDesktopMessageResponseHandle* handle, const uint8_t* data,
                      size_t size) {
    std::lock_guard hold(mutex);
    const DeliveryId delivery = DeliveryFor(handle);
    bool accepted = false;
    if (!available) {
      ++dropped;
    } else if (auto found = deliveries.find(delivery); found == deliveries.end() ||
                                                       found->second.answered ||
                                                       (data == nullptr && size != 0)) {
      ++refused;
    } else {
      found->second.response = CopyBytes(data, size);
      found->second.answered = true;
      accepted = true;
    }
    if (logging) {
      HostCall call;
      call.kind = HostCallKind::kSendResponse;
      call.delivery = delivery;
      call.bytes = CopyBytes(data, size);
      call.accepted = accepted;
      Log(std::move(call));
    }
  }

  void SetHandler(const char* channel, FlutterDesktopMessageCallback callback, void* user_data) {
    std::lock_guard hold(mutex);
    if (logging) {
      HostCall call;
      call.kind = HostCallKind::kSetCallback;
      call.channel = channel;
      call.has_callback = callback != nullptr;
      call.user_data = user_data;
      Log(std::move(call));
    }
    if (callback == nullptr) {
      if (auto found = handlers.find(std::string_view(channel)); found != handlers.end()) {
        handlers.erase(found);
      }
    } else {
      handlers.insert_or_assign(std::string(channel), Handler{callback, user_data});
    }
  }

  bool ReportAvailable() noexcept {
    std::lock_guard hold(mutex);
    if (logging) {
      HostCall call;
      call.kind = HostCallKind::kIsAvailable;
      call.accepted = available;
      Log(std::move(call));
    }
    return available;
  }

  void LogCall(HostCallKind kind) noexcept {
    std::lock_guard hold(mutex);
    Log(kind);
  }
};

namespace {

// Runs `action` on the engine's state while it is pinned; false when the engine has gone.
template <typename Action>
bool WithState(FlutterDesktopMessengerRef messenger, Action&& action) {
  std::lock_guard hold(messenger->guard);
  if (messenger->state == nullptr) {
    return false;
  }
  action(*messenger->state);
  return true;
}

void ReleaseMessenger(FlutterDesktopMessengerRef messenger) noexcept {
  if (messenger->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete messenger;
  }
}

bool SendFromHost(FlutterDesktopMessengerRef messenger, const char* channel, const uint8_t* message,
                  size_t message_size, bool with_reply_kind, FlutterDesktopBinaryReply reply,
                  void* user_data) noexcept {
  if (messenger == nullptr) {
    return false;
  }
  try {
    bool sent = false;
    EngineMessaging::State::Activity activity;
    WithState(messenger, [&](EngineMessaging::State& state) {
      sent = state.AcceptHostMessage(channel, message, message_size, with_reply_kind, reply,
                                     user_data);
      activity = state.CurrentActivity();
    });
    if (sent) {
      activity();
    }
    return sent;
  } catch (...) {
    return false;
  }
}

}  // namespace

std::string_view HostCallKindName(HostCallKind kind) noexcept {
  switch (kind) {
    case HostCallKind::kSend:
      return "Send";
    case HostCallKind::kSendWithReply:
      return "SendWithReply";
    case HostCallKind::kSendResponse:
      return "SendResponse";
    case HostCallKind::kSetCallback:
      return "SetCallback";
    case HostCallKind::kAddRef:
      return "AddRef";
    case HostCallKind::kRelease:
      return "Release";
    case HostCallKind::kIsAvailable:
      return "IsAvailable";
    case HostCallKind::kLock:
      return "Lock";
    case HostCallKind::kUnlock:
      return "Unlock";
  }
  return "?";
}

EngineMessaging::EngineMessaging() : state_(std::make_unique<State>()) {
  auto* messenger = new FlutterDesktopMessenger;
  messenger->state = state_.get();
  state_->messenger = messenger;
}

EngineMessaging::~EngineMessaging() {
  FlutterDesktopMessenger* messenger = state_->messenger;
  std::unordered_map<uint64_t, State::PendingReply> stranded;
  {
    // Under the messenger's lock, so a response being checked and sent finishes first.
    std::lock_guard locked(messenger->lock);
    {
      std::lock_guard hold(messenger->guard);
      messenger->state = nullptr;
    }
    std::lock_guard hold(state_->mutex);
    state_->available = false;
    stranded.swap(state_->pending_replies);
    for (const auto& [id, pending] : stranded) {
      state_->host_messages[id - 1].answered = true;
    }
  }
  for (const auto& [id, pending] : stranded) {
    pending.reply(nullptr, 0, pending.user_data);
  }
  ReleaseMessenger(messenger);
}

FlutterDesktopMessengerRef EngineMessaging::messenger() const noexcept {
  return state_->messenger;
}

std::optional<DeliveryId> EngineMessaging::Deliver(std::string_view channel,
                                                   std::span<const uint8_t> message) {
  const std::string name(channel);
  State::Handler handler;
  DeliveryId delivery = 0;
  {
    std::lock_guard hold(state_->mutex);
    if (!state_->available) {
      return std::nullopt;
    }
    auto found = state_->handlers.find(name);
    if (found == state_->handlers.end()) {
      return std::nullopt;
    }
    handler = found->second;
    delivery = state_->next_delivery++;
    state_->deliveries.emplace(delivery, State::Delivery{});
  }
  const FlutterDesktopMessage record{sizeof(FlutterDesktopMessage), name.c_str(), message.data(),
                                     message.size(), HandleFor(delivery)};
  handler.callback(state_->messenger, &record, handler.user_data);
  return delivery;
}

std::optional<std::vector<uint8_t>> EngineMessaging::TakeResponse(DeliveryId delivery) {
  std::lock_guard hold(state_->mutex);
  auto found = state_->deliveries.find(delivery);
  if (found == state_->deliveries.end() || !found->second.answered) {
    return std::nullopt;
  }
  std::vector<uint8_t> response = std::move(found->second.response);
  state_->deliveries.erase(found);
  return response;
}

bool EngineMessaging::IsAnswered(DeliveryId delivery) const {
  std::lock_guard hold(state_->mutex);
  auto found = state_->deliveries.find(delivery);
  return found != state_->deliveries.end() && found->second.answered;
}

std::optional<size_t> EngineMessaging::ResponseSize(DeliveryId delivery) const {
  std::lock_guard hold(state_->mutex);
  auto found = state_->deliveries.find(delivery);
  if (found == state_->deliveries.end() || !found->second.answered) {
    return std::nullopt;
  }
  return found->second.response.size();
}

std::optional<std::vector<uint8_t>> EngineMessaging::Exchange(std::string_view channel,
                                                              std::span<const uint8_t> message) {
  const std::optional<DeliveryId> delivery = Deliver(channel, message);
  if (!delivery) {
    return std::nullopt;
  }
  return TakeResponse(*delivery);
}

size_t EngineMessaging::pending_deliveries() const {
  std::lock_guard hold(state_->mutex);
  size_t pending = 0;
  for (const auto& [id, delivery] : state_->deliveries) {
    pending += delivery.answered ? 0 : 1;
  }
  return pending;
}

std::vector<HostMessage> EngineMessaging::HostMessages() const {
  std::lock_guard hold(state_->mutex);
  return state_->host_messages;
}

bool EngineMessaging::AnswerHostMessage(uint64_t id, std::span<const uint8_t> reply) {
  State::PendingReply pending;
  {
    std::lock_guard hold(state_->mutex);
    auto found = state_->pending_replies.find(id);
    if (!state_->available || found == state_->pending_replies.end()) {
      return false;
    }
    pending = found->second;
    state_->pending_replies.erase(found);
    state_->host_messages.at(id - 1).answered = true;
  }
  pending.reply(reply.empty() ? nullptr : reply.data(), reply.size(), pending.user_data);
  return true;
}

bool EngineMessaging::HasHandler(std::string_view channel) const {
  std::lock_guard hold(state_->mutex);
  return state_->handlers.find(channel) != state_->handlers.end();
}

void EngineMessaging::SetHostActivityCallback(void (*callback)(void*), void* user_data) {
  std::lock_guard hold(state_->mutex);
  state_->activity = State::Activity{callback, user_data};
}

void* EngineMessaging::HandlerUserData(std::string_view channel) const {
  std::lock_guard hold(state_->mutex);
  auto found = state_->handlers.find(channel);
  return found == state_->handlers.end() ? nullptr : found->second.user_data;
}

void EngineMessaging::MakeUnavailable() {
  std::lock_guard locked(state_->messenger->lock);
  std::lock_guard hold(state_->mutex);
  state_->available = false;
}

bool EngineMessaging::available() const {
  std::lock_guard hold(state_->mutex);
  return state_->available;
}

int EngineMessaging::reference_count() const {
  return state_->messenger->references.load(std::memory_order_acquire);
}

std::vector<HostCall> EngineMessaging::CallLog() const {
  std::lock_guard hold(state_->mutex);
  return state_->log;
}

void EngineMessaging::ClearCallLog() {
  std::lock_guard hold(state_->mutex);
  state_->log.clear();
}

void EngineMessaging::SetCallLogging(bool enabled) {
  std::lock_guard hold(state_->mutex);
  state_->logging = enabled;
}

size_t EngineMessaging::refused_responses() const {
  std::lock_guard hold(state_->mutex);
  return state_->refused;
}

size_t EngineMessaging::dropped_responses() const {
  std::lock_guard hold(state_->mutex);
  return state_->dropped;
}

}  // namespace standin

// ---- The engine's messenger functions ----
// C entry points: nothing may unwind out of them, so each one catches what its work could throw
// (only allocation, for the log and the records) and reports failure where it can.

using standin::EngineMessaging;
using standin::HostCallKind;

bool FlutterDesktopMessengerSend(FlutterDesktopMessengerRef messenger, const char* channel,
                                 const uint8_t* message, size_t message_size) {
  return standin::SendFromHost(messenger, channel, message, message_size, false, nullptr, nullptr);
}

bool FlutterDesktopMessengerSendWithReply(FlutterDesktopMessengerRef messenger, const char* channel,
                                          const uint8_t* message, size_t message_size,
                                          FlutterDesktopBinaryReply reply, void* user_data) {
  return standin::SendFromHost(messenger, channel, message, message_size, true, reply, user_data);
}

void FlutterDesktopMessengerSendResponse(FlutterDesktopMessengerRef messenger,
                                         const FlutterDesktopMessageResponseHandle* handle,
                                         const uint8_t* data, size_t data_length) {
  if (messenger == nullptr) {
    return;
  }
  try {
    standin::WithState(messenger, [&](EngineMessaging::State& state) {
      state.AcceptResponse(handle, data, data_length);
    });
  } catch (...) {
  }
}

void FlutterDesktopMessengerSetCallback(FlutterDesktopMessengerRef messenger, const char* channel,
                                        FlutterDesktopMessageCallback callback, void* user_data) {
  if (messenger == nullptr || channel == nullptr) {
    return;
  }
  try {
    EngineMessaging::State::Activity activity;
    standin::WithState(messenger, [&](EngineMessaging::State& state) {
      state.SetHandler(channel, callback, user_data);
      activity = state.CurrentActivity();
    });
    activity();
  } catch (...) {
  }
}

FlutterDesktopMessengerRef FlutterDesktopMessengerAddRef(FlutterDesktopMessengerRef messenger) {
  if (messenger == nullptr) {
    return nullptr;
  }
  messenger->references.fetch_add(1, std::memory_order_relaxed);
  try {
    standin::WithState(messenger,
                       [](EngineMessaging::State& state) { state.LogCall(HostCallKind::kAddRef); });
  } catch (...) {
  }
  return messenger;
}

void FlutterDesktopMessengerRelease(FlutterDesktopMessengerRef messenger) {
  if (messenger == nullptr) {
    return;
  }
  try {
    standin::WithState(
        messenger, [](EngineMessaging::State& state) { state.LogCall(HostCallKind::kRelease); });
  } catch (...) {
  }
  standin::ReleaseMessenger(messenger);
}

bool FlutterDesktopMessengerIsAvailable(FlutterDesktopMessengerRef messenger) {
  if (messenger == nullptr) {
    return false;
  }
  try {
    bool available = false;
    standin::WithState(messenger,
                       [&](EngineMessaging::State& state) { available = state.ReportAvailable(); });
    return available;
  } catch (...) {
    return false;
  }
}

FlutterDesktopMessengerRef FlutterDesktopMessengerLock(FlutterDesktopMessengerRef messenger) {
  if (messenger == nullptr) {
    return nullptr;
  }
  try {
    messenger->lock.lock();
  } catch (...) {
    return nullptr;
  }
  try {
    standin::WithState(messenger,
                       [](EngineMessaging::State& state) { state.LogCall(HostCallKind::kLock); });
  } catch (...) {
  }
  return messenger;
}

void FlutterDesktopMessengerUnlock(FlutterDesktopMessengerRef messenger) {
  if (messenger == nullptr) {
    return;
  }
  try {
    standin::WithState(messenger,
                       [](EngineMessaging::State& state) { state.LogCall(HostCallKind::kUnlock); });
  } catch (...) {
  }
  messenger->lock.unlock();
}
