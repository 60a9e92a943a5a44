#include "bridge/native_channel_handler.h"

#include "host/flutter_window.h"

void NativeChannelHandler(const flutter::MethodCall<flutter::EncodableValue>& /*call*/,
                          std::unique_ptr<flutter::MethodResult<flutter::EncodableValue>> result,
                          FlutterWindow* /*window*/) noexcept {
  // No method is served yet: the answer for a method the host does not know.
  result->NotImplemented();
}
