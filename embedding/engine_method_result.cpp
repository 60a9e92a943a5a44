#include "embedding/engine_method_result.h"

#include "embedding/diagnostics.h"

namespace flutter {

OneShotReply::OneShotReply(BinaryReply reply) : reply_(std::move(reply)) {}

OneShotReply::~OneShotReply() {
  if (reply_) {
    WriteDiagnosticLine("Warning: Failed to respond to a message. This is a memory leak.");
  }
}

void OneShotReply::Deliver(const std::vector<uint8_t>* data) {
  if (!reply_) {
    WriteDiagnosticLine(
        "Error: Only one of Success, Error, or NotImplemented can be called,"
        " and it can be called exactly once. Ignoring duplicate result.");
    return;
  }
  // Emptied before the call, so that an answer given from inside the reply, or a reply that
  // fails, still counts as the one use.
  BinaryReply reply = std::move(reply_);
  reply_ = nullptr;
  const bool has_bytes = data != nullptr && !data->empty();
  reply(has_bytes ? data->data() : nullptr, has_bytes ? data->size() : 0);
}

}  // namespace flutter
