// The engine's C interface for channel messages, as flutter_windows.dll exports it.
// Kept free of Windows types so that the messenger, the channels and the stand-in engine's
// messaging core build and run natively as well.
#ifndef ORVANE_EMBEDDING_FLUTTER_MESSENGER_H_
#define ORVANE_EMBEDDING_FLUTTER_MESSENGER_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct FlutterDesktopMessenger* FlutterDesktopMessengerRef;

// The engine's token for answering one incoming message.
typedef struct _FlutterPlatformMessageResponseHandle FlutterDesktopMessageResponseHandle;

typedef struct {
  // Size of the record as the engine created it: a newer engine may append fields.
  size_t struct_size;
  const char* channel;  // NUL-terminated UTF-8
  const uint8_t* message;
  size_t message_size;
  const FlutterDesktopMessageResponseHandle* response_handle;
} FlutterDesktopMessage;

typedef void (*FlutterDesktopMessageCallback)(FlutterDesktopMessengerRef messenger,
                                              const FlutterDesktopMessage* message,
                                              void* user_data);

typedef void (*FlutterDesktopBinaryReply)(const uint8_t* data, size_t data_size, void* user_data);

bool FlutterDesktopMessengerSend(FlutterDesktopMessengerRef messenger, const char* channel,
                                 const uint8_t* message, size_t message_size);

// False when nothing was sent; `reply` then never runs.
bool FlutterDesktopMessengerSendWithReply(FlutterDesktopMessengerRef messenger,
                                          const char* channel, const uint8_t* message,
                                          size_t message_size, FlutterDesktopBinaryReply reply,
                                          void* user_data);

// One response per handle.
void FlutterDesktopMessengerSendResponse(FlutterDesktopMessengerRef messenger,
                                         const FlutterDesktopMessageResponseHandle* handle,
                                         const uint8_t* data, size_t data_length);

// A null callback removes the channel's handler.
void FlutterDesktopMessengerSetCallback(FlutterDesktopMessengerRef messenger, const char* channel,
                                        FlutterDesktopMessageCallback callback, void* user_data);

FlutterDesktopMessengerRef FlutterDesktopMessengerAddRef(FlutterDesktopMessengerRef messenger);
void FlutterDesktopMessengerRelease(FlutterDesktopMessengerRef messenger);
bool FlutterDesktopMessengerIsAvailable(FlutterDesktopMessengerRef messenger);
FlutterDesktopMessengerRef FlutterDesktopMessengerLock(FlutterDesktopMessengerRef messenger);
void FlutterDesktopMessengerUnlock(FlutterDesktopMessengerRef messenger);

#ifdef __cplusplus
}  // extern "C"
#endif

#ifdef __cplusplus
// The host must agree with the engine on these layouts byte for byte (x86-64: LP64 on Linux,
// LLP64 on Windows; the record holds no long, so both give the same offsets).
static_assert(sizeof(bool) == 1, "the engine's bool is one byte");
static_assert(offsetof(FlutterDesktopMessage, struct_size) == 0);
static_assert(offsetof(FlutterDesktopMessage, channel) == 8);
static_assert(offsetof(FlutterDesktopMessage, message) == 16);
static_assert(offsetof(FlutterDesktopMessage, message_size) == 24);
static_assert(offsetof(FlutterDesktopMessage, response_handle) == 32);
static_assert(sizeof(FlutterDesktopMessage) == 40);
#endif

#endif  // ORVANE_EMBEDDING_FLUTTER_MESSENGER_H_
