// The stand-in engine's messaging side: what flutter_windows.dll does with channel messages,
// plus the controls a test needs to play the application's part.
//
// One `EngineMessaging` is the messaging state of one engine. It owns the engine's reference to
// the `FlutterDesktopMessenger` that the host sees; the messenger functions of
// embedding/flutter_messenger.h (defined in engine_messaging.cpp) act on it. The engine and
// view side of the stand-in holds one of these per engine and hands out `messenger()`.
//
// Rules kept, as the real engine keeps them:
// - one response per response handle: a second (or a handle never issued) is refused and counted;
// - one handler per channel; a null callback removes it;
// - `FlutterDesktopMessengerSendWithReply` is false when nothing can be sent, and the reply
//   then never runs;
// - the messenger is reference-counted and outlives this object while the host holds references;
// - once unavailable (`MakeUnavailable`, or this object destroyed) nothing is delivered or sent
//   and responses are dropped, counted, never stored.
// Everything here is thread-safe; the host's callbacks are never called with a lock held.
#ifndef ORVANE_STANDINS_ENGINE_ENGINE_MESSAGING_H_
#define ORVANE_STANDINS_ENGINE_ENGINE_MESSAGING_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "embedding/flutter_messenger.h"

namespace standin {

// Which messenger function the host called.
enum class HostCallKind {
  kSend,
  kSendWithReply,
  kSendResponse,
  kSetCallback,
  kAddRef,
  kRelease,
  kIsAvailable,
  kLock,
  kUnlock,
};

std::string_view HostCallKindName(HostCallKind kind) noexcept;

// One entry of the log of the host's calls, in the order they were made.
struct HostCall {
  HostCallKind kind = HostCallKind::kSend;
  std::string channel;         // kSend, kSendWithReply, kSetCallback
  std::vector<uint8_t> bytes;  // kSend, kSendWithReply, kSendResponse
  bool has_callback = false;   // kSetCallback: a handler was set (true) or removed
  void* user_data = nullptr;   // kSetCallback, kSendWithReply: as the host passed it
  uint64_t delivery = 0;       // kSendResponse: the delivery the handle belongs to, 0 if none
  // kSend, kSendWithReply: sent; kSendResponse: taken as the delivery's response;
  // kIsAvailable: the answer given.
  bool accepted = false;
};

// A message the host sent to the application.
struct HostMessage {
  uint64_t id = 0;
  std::string channel;
  std::vector<uint8_t> bytes;
  bool expects_reply = false;  // sent with a reply callback
  bool answered = false;       // its reply callback has run
};

// Identifies one message delivered to the host, until its response is taken.
using DeliveryId = uint64_t;

class EngineMessaging {
 public:
  EngineMessaging();
  // The engine goes away: the messenger becomes unavailable, every host message still waiting
  // for a reply gets an empty one (so the host's reply state is never stranded), and the
  // engine's reference to the messenger is released.
  ~EngineMessaging();

  EngineMessaging(const EngineMessaging&) = delete;
  EngineMessaging& operator=(const EngineMessaging&) = delete;

  // The handle the host uses; valid while this object or a host reference lives.
  [[nodiscard]] FlutterDesktopMessengerRef messenger() const noexcept;

  // ---- Playing the application ----

  // Delivers `message` on `channel` to the host's handler, as the application would, and
  // returns the delivery's id. Nothing when no handler is set on the channel or the messenger
  // is unavailable. The handler runs on the calling thread before this returns.
  [[nodiscard]] std::optional<DeliveryId> Deliver(std::string_view channel,
                                                  std::span<const uint8_t> message);
  // The response of a delivery, removed from the record; nothing while it is unanswered (or for
  // an unknown id).
  [[nodiscard]] std::optional<std::vector<uint8_t>> TakeResponse(DeliveryId delivery);
  [[nodiscard]] bool IsAnswered(DeliveryId delivery) const;
  // The size of a delivery's response, left on record; nothing while it is unanswered.
  [[nodiscard]] std::optional<size_t> ResponseSize(DeliveryId delivery) const;
  // Deliver, then take the response given during the delivery. Nothing when it could not be
  // delivered or is still unanswered (the delivery then stays on record as pending).
  [[nodiscard]] std::optional<std::vector<uint8_t>> Exchange(std::string_view channel,
                                                             std::span<const uint8_t> message);
  [[nodiscard]] size_t pending_deliveries() const;

  // Every message the host has sent, in order.
  [[nodiscard]] std::vector<HostMessage> HostMessages() const;
  // Runs the reply callback of host message `id` with `reply` (empty: a null pointer and size
  // 0). False when the message expects no reply, was answered already, or the messenger is
  // unavailable.
  [[nodiscard]] bool AnswerHostMessage(uint64_t id, std::span<const uint8_t> reply);

  [[nodiscard]] bool HasHandler(std::string_view channel) const;
  // Runs `callback(user_data)` after each host call that set or removed a handler or sent a
  // message, on the host's thread and with no lock held, so that the application's side can wait
  // for the host without polling. Null stops it; a host call under way may still run the previous
  // one once.
  void SetHostActivityCallback(void (*callback)(void*), void* user_data);
  [[nodiscard]] void* HandlerUserData(std::string_view channel) const;

  // ---- The engine's life ----

  // As when the engine has gone: from now on nothing is delivered, sends fail and responses
  // are dropped. Waits for a response in progress under the messenger's lock.
  void MakeUnavailable();
  [[nodiscard]] bool available() const;
  // All references to the messenger, the engine's own included.
  [[nodiscard]] int reference_count() const;

  // ---- What the host did ----

  [[nodiscard]] std::vector<HostCall> CallLog() const;
  void ClearCallLog();
  // On by default; off for long measured runs.
  void SetCallLogging(bool enabled);
  // Responses refused: a second one for a handle, or a handle never issued.
  [[nodiscard]] size_t refused_responses() const;
  // Responses that arrived while the messenger was unavailable.
  [[nodiscard]] size_t dropped_responses() const;

  // Declared here only so that the engine's C functions (engine_messaging.cpp) can reach it.
  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace standin

#endif  // ORVANE_STANDINS_ENGINE_ENGINE_MESSAGING_H_
