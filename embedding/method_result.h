// The object through which one method call is answered, and the handler signature of a channel.
#ifndef ORVANE_EMBEDDING_METHOD_RESULT_H_
#define ORVANE_EMBEDDING_METHOD_RESULT_H_

#include <functional>
#include <memory>
#include <string>

#include "embedding/method_call.h"

namespace flutter {

// A call is answered at most once, with exactly one of Success, Error or NotImplemented.
template <typename T>
class MethodResult {
 public:
  MethodResult() = default;
  virtual ~MethodResult() = default;

  // `result` is null when the answer carries no value.
  virtual void Success(const T* result) = 0;
  // `details` is null when there are none.
  virtual void Error(const std::string& error_code, const std::string& error_message,
                     const T* error_details) = 0;
  virtual void NotImplemented() = 0;

  void Success(const T& result) { Success(&result); }
  void Success() { Success(static_cast<const T*>(nullptr)); }
  void Error(const std::string& error_code, const std::string& error_message = "") {
    Error(error_code, error_message, static_cast<const T*>(nullptr));
  }
  void Error(const std::string& error_code, const std::string& error_message,
             const T& error_details) {
    Error(error_code, error_message, &error_details);
  }
};

// Takes every decoded incoming call of a channel, with the sole owner of its result.
template <typename T>
using CallHandler =
    std::function<void(const MethodCall<T>& call, std::unique_ptr<MethodResult<T>> result)>;

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_METHOD_RESULT_H_
