#include "standins/engine/messaging_control.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "standins/engine/engine_messaging.h"

// The C handle is the C++ object itself; nothing else is behind it.
struct StandinMessaging {
  standin::EngineMessaging messaging;
};

namespace {

// Copies `bytes` out when they fit; the size is reported either way.
StandinDeliveryStatus CopyOut(const std::vector<uint8_t>& bytes, uint8_t* buffer, size_t capacity,
                              size_t* size) noexcept {
  if (size != nullptr) {
    *size = bytes.size();
  }
  if (bytes.size() > capacity || (buffer == nullptr && !bytes.empty())) {
    return kStandinBufferTooSmall;
  }
  std::copy(bytes.begin(), bytes.end(), buffer);
  return kStandinAnswered;
}

std::span<const uint8_t> Bytes(const uint8_t* data, size_t size) noexcept {
  if (data == nullptr) {
    return {};
  }
  return {data, size};
}

}  // namespace

StandinMessagingRef StandinMessagingCreate(void) {
  try {
    return new StandinMessaging;
  } catch (...) {
    return nullptr;
  }
}

void StandinMessagingDestroy(StandinMessagingRef messaging) {
  delete messaging;
}

FlutterDesktopMessengerRef StandinMessagingGetMessenger(StandinMessagingRef messaging) {
  return messaging == nullptr ? nullptr : messaging->messaging.messenger();
}

void StandinMessagingMakeUnavailable(StandinMessagingRef messaging) {
  if (messaging == nullptr) {
    return;
  }
  try {
    messaging->messaging.MakeUnavailable();
  } catch (...) {
  }
}

StandinDeliveryStatus StandinMessagingExchange(StandinMessagingRef messaging, const char* channel,
                                               const uint8_t* message, size_t message_size,
                                               uint8_t* response, size_t capacity,
                                               size_t* response_size, uint64_t* delivery) {
  if (messaging == nullptr || channel == nullptr || (message == nullptr && message_size != 0)) {
    return kStandinNotDelivered;
  }
  try {
    const auto id = messaging->messaging.Deliver(channel, Bytes(message, message_size));
    if (!id) {
      return kStandinNotDelivered;
    }
    if (delivery != nullptr) {
      *delivery = *id;
    }
    return StandinMessagingTakeResponse(messaging, *id, response, capacity, response_size);
  } catch (...) {
    return kStandinNotDelivered;
  }
}

StandinDeliveryStatus StandinMessagingTakeResponse(StandinMessagingRef messaging, uint64_t delivery,
                                                   uint8_t* response, size_t capacity,
                                                   size_t* response_size) {
  if (messaging == nullptr) {
    return kStandinNotDelivered;
  }
  try {
    const std::optional<size_t> size = messaging->messaging.ResponseSize(delivery);
    if (!size) {
      return kStandinPending;
    }
    if (response_size != nullptr) {
      *response_size = *size;
    }
    // A response too big for the buffer stays on record for a second try.
    if (*size > capacity || (response == nullptr && *size != 0)) {
      return kStandinBufferTooSmall;
    }
    const std::optional<std::vector<uint8_t>> bytes = messaging->messaging.TakeResponse(delivery);
    if (!bytes) {
      return kStandinPending;  // taken meanwhile by another thread
    }
    return CopyOut(*bytes, response, capacity, response_size);
  } catch (...) {
    return kStandinNotDelivered;
  }
}

void StandinMessagingSetHostActivityCallback(StandinMessagingRef messaging,
                                             StandinHostActivityCallback callback,
                                             void* user_data) {
  if (messaging == nullptr) {
    return;
  }
  try {
    messaging->messaging.SetHostActivityCallback(callback, user_data);
  } catch (...) {
  }
}

void StandinMessagingSetCallLogging(StandinMessagingRef messaging, bool enabled) {
  if (messaging == nullptr) {
    return;
  }
  try {
    messaging->messaging.SetCallLogging(enabled);
  } catch (...) {
  }
}

size_t StandinMessagingHostMessageCount(StandinMessagingRef messaging) {
  if (messaging == nullptr) {
    return 0;
  }
  try {
    return messaging->messaging.HostMessages().size();
  } catch (...) {
    return 0;
  }
}

bool StandinMessagingGetHostMessage(StandinMessagingRef messaging, uint64_t id, char* channel,
                                    size_t channel_capacity, uint8_t* message,
                                    size_t message_capacity, size_t* message_size) {
  if (messaging == nullptr) {
    return false;
  }
  try {
    const std::vector<standin::HostMessage> messages = messaging->messaging.HostMessages();
    if (id == 0 || id > messages.size()) {
      return false;
    }
    const standin::HostMessage& sent = messages[id - 1];
    if (channel != nullptr && channel_capacity > 0) {
      const size_t length = std::min(sent.channel.size(), channel_capacity - 1);
      std::memcpy(channel, sent.channel.data(), length);
      channel[length] = '\0';
    }
    return CopyOut(sent.bytes, message, message_capacity, message_size) == kStandinAnswered;
  } catch (...) {
    return false;
  }
}

bool StandinMessagingAnswerHostMessage(StandinMessagingRef messaging, uint64_t id,
                                       const uint8_t* reply, size_t reply_size) {
  if (messaging == nullptr || (reply == nullptr && reply_size != 0)) {
    return false;
  }
  try {
    return messaging->messaging.AnswerHostMessage(id, Bytes(reply, reply_size));
  } catch (...) {
    return false;
  }
}

bool StandinMessagingHasHandler(StandinMessagingRef messaging, const char* channel) {
  if (messaging == nullptr || channel == nullptr) {
    return false;
  }
  try {
    return messaging->messaging.HasHandler(channel);
  } catch (...) {
    return false;
  }
}

size_t StandinMessagingPendingDeliveries(StandinMessagingRef messaging) {
  if (messaging == nullptr) {
    return 0;
  }
  try {
    return messaging->messaging.pending_deliveries();
  } catch (...) {
    return 0;
  }
}

size_t StandinMessagingRefusedResponses(StandinMessagingRef messaging) {
  return messaging == nullptr ? 0 : messaging->messaging.refused_responses();
}

size_t StandinMessagingDroppedResponses(StandinMessagingRef messaging) {
  return messaging == nullptr ? 0 : messaging->messaging.dropped_responses();
}

size_t StandinMessagingCallLog(StandinMessagingRef messaging, char* text, size_t capacity) {
  if (messaging == nullptr) {
    return 0;
  }
  try {
    std::string all;
    for (const standin::HostCall& call : messaging->messaging.CallLog()) {
      all += standin::HostCallKindName(call.kind);
      if (!call.channel.empty()) {
        all += ' ';
        all += call.channel;
      }
      all += '\n';
    }
    if (text != nullptr && capacity > 0) {
      const size_t length = std::min(all.size(), capacity - 1);
      std::memcpy(text, all.data(), length);
      text[length] = '\0';
    }
    return all.size();
  } catch (...) {
    return 0;
  }
}
