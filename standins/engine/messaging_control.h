// C control interface of the stand-in engine's messaging side, exported from the stand-in
// flutter_windows.dll next to the engine's own functions. Code in another module (a test that
// links the DLL by import, later a driver in another process) cannot share C++ objects with the
// DLL, so only C types cross here and the caller owns every buffer.
#ifndef ORVANE_STANDINS_ENGINE_MESSAGING_CONTROL_H_
#define ORVANE_STANDINS_ENGINE_MESSAGING_CONTROL_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "embedding/flutter_messenger.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct StandinMessaging* StandinMessagingRef;

// What became of a message delivered to the host.
typedef enum {
  kStandinNotDelivered = 0,    // no handler on the channel, or the messenger is unavailable
  kStandinAnswered = 1,        // answered during the delivery; the response was copied out
  kStandinPending = 2,         // delivered, not answered yet
  kStandinBufferTooSmall = 3,  // answered; *response_size says how many bytes it needs
} StandinDeliveryStatus;

// A new engine messaging state, or null on allocation failure.
StandinMessagingRef StandinMessagingCreate(void);
// The engine goes: see standin::EngineMessaging's destructor.
void StandinMessagingDestroy(StandinMessagingRef messaging);
FlutterDesktopMessengerRef StandinMessagingGetMessenger(StandinMessagingRef messaging);
void StandinMessagingMakeUnavailable(StandinMessagingRef messaging);

// Delivers `message` on `channel` as the application would. When the host answers during the
// delivery, the response is copied into `response` (up to `capacity` bytes) and its size stored
// in `*response_size`. When the buffer is too small, the response stays on record and can be
// taken with StandinMessagingTakeResponse.
StandinDeliveryStatus StandinMessagingExchange(StandinMessagingRef messaging, const char* channel,
                                               const uint8_t* message, size_t message_size,
                                               uint8_t* response, size_t capacity,
                                               size_t* response_size, uint64_t* delivery);
StandinDeliveryStatus StandinMessagingTakeResponse(StandinMessagingRef messaging, uint64_t delivery,
                                                   uint8_t* response, size_t capacity,
                                                   size_t* response_size);

// Messages the host sent, numbered from 1 in order.
size_t StandinMessagingHostMessageCount(StandinMessagingRef messaging);
// Copies message `id`: its channel as a NUL-terminated string (truncated to fit) and its bytes.
// False for an unknown id or a byte buffer too small (`*message_size` then says what it needs).
bool StandinMessagingGetHostMessage(StandinMessagingRef messaging, uint64_t id, char* channel,
                                    size_t channel_capacity, uint8_t* message,
                                    size_t message_capacity, size_t* message_size);
bool StandinMessagingAnswerHostMessage(StandinMessagingRef messaging, uint64_t id,
                                       const uint8_t* reply, size_t reply_size);

// Whether the host has a handler on `channel` now.
bool StandinMessagingHasHandler(StandinMessagingRef messaging, const char* channel);

// Calls `callback(user_data)` after each host call that set or removed a handler or sent a
// message, on the host's thread and with no lock held; null stops it. A host call under way may
// still run the previous callback once, so `user_data` should stay valid (a window handle does).
typedef void (*StandinHostActivityCallback)(void* user_data);
void StandinMessagingSetHostActivityCallback(StandinMessagingRef messaging,
                                             StandinHostActivityCallback callback, void* user_data);

// Whether the host's calls are logged (on by default): a long run turns it off, or the log would
// grow with every call.
void StandinMessagingSetCallLogging(StandinMessagingRef messaging, bool enabled);

// Deliveries the host has not answered yet.
size_t StandinMessagingPendingDeliveries(StandinMessagingRef messaging);
size_t StandinMessagingRefusedResponses(StandinMessagingRef messaging);
size_t StandinMessagingDroppedResponses(StandinMessagingRef messaging);
// The host's calls so far, one per line as "Name" or "Name channel" (channel where the call
// has one), NUL-terminated and truncated to fit. Returns the length the whole text needs.
size_t StandinMessagingCallLog(StandinMessagingRef messaging, char* text, size_t capacity);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // ORVANE_STANDINS_ENGINE_MESSAGING_CONTROL_H_
