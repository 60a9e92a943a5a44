// Bytes on named channels between the host and the application running in the engine.
#ifndef ORVANE_EMBEDDING_BINARY_MESSENGER_H_
#define ORVANE_EMBEDDING_BINARY_MESSENGER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace flutter {

// Receives the reply bytes to a message; a null pointer with size 0 is an empty reply.
using BinaryReply = std::function<void(const uint8_t* reply, size_t reply_size)>;

// Receives one incoming message and the means to answer it (at most once).
using BinaryMessageHandler =
    std::function<void(const uint8_t* message, size_t message_size, BinaryReply reply)>;

class BinaryMessenger {
 public:
  virtual ~BinaryMessenger() = default;

  // Sends `message` on `channel`. `reply`, when given, runs once with the answer, unless the
  // engine could not send the message at all.
  virtual void Send(const std::string& channel, const uint8_t* message, size_t message_size,
                    BinaryReply reply = nullptr) const = 0;

  // Routes messages on `channel` to `handler`; an empty handler removes the channel's handler.
  virtual void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) = 0;
};

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_BINARY_MESSENGER_H_
