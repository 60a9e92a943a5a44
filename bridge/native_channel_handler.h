// The handler of the channel "vpn/native": every call from the application, answered once.
#ifndef ORVANE_BRIDGE_NATIVE_CHANNEL_HANDLER_H_
#define ORVANE_BRIDGE_NATIVE_CHANNEL_HANDLER_H_

#include <memory>

#include "embedding/encodable_value.h"
#include "embedding/method_call.h"
#include "embedding/method_result.h"

class FlutterWindow;

// Answers `call` through `result` exactly once, using `window`'s tray, handle and kill switch.
// Never throws.
void NativeChannelHandler(const flutter::MethodCall<flutter::EncodableValue>& call,
                          std::unique_ptr<flutter::MethodResult<flutter::EncodableValue>> result,
                          FlutterWindow* window) noexcept;

#endif  // ORVANE_BRIDGE_NATIVE_CHANNEL_HANDLER_H_
