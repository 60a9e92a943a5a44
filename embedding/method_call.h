// A method call on a channel: its name and its arguments.
#ifndef ORVANE_EMBEDDING_METHOD_CALL_H_
#define ORVANE_EMBEDDING_METHOD_CALL_H_

#include <memory>
#include <string>
#include <utility>

namespace flutter {

template <typename T>
class MethodCall {
 public:
  // `arguments` may be null: a call without arguments.
  MethodCall(const std::string& method_name, std::unique_ptr<T> arguments)
      : method_name_(method_name), arguments_(std::move(arguments)) {}
  MethodCall(std::string&& method_name, std::unique_ptr<T> arguments)
      : method_name_(std::move(method_name)), arguments_(std::move(arguments)) {}
  virtual ~MethodCall() = default;

  MethodCall(const MethodCall&) = delete;
  MethodCall& operator=(const MethodCall&) = delete;

  const std::string& method_name() const { return method_name_; }
  // Null when the call has no arguments.
  const T* arguments() const { return arguments_.get(); }

 private:
  std::string method_name_;
  std::unique_ptr<T> arguments_;
};

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_METHOD_CALL_H_
