// Helpers shared by the messaging tests.
#ifndef ORVANE_TESTS_PORTABLE_MESSAGING_TEST_SUPPORT_H_
#define ORVANE_TESTS_PORTABLE_MESSAGING_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace messaging_test {

// Collects what the code under test writes to the standard error stream, as lines.
class StderrLines {
 public:
  StderrLines() { testing::internal::CaptureStderr(); }
  ~StderrLines() {
    if (!taken_) {
      (void)testing::internal::GetCapturedStderr();
    }
  }
  StderrLines(const StderrLines&) = delete;
  StderrLines& operator=(const StderrLines&) = delete;

  // Ends the capture.
  std::vector<std::string> Take() {
    taken_ = true;
    std::istringstream text(testing::internal::GetCapturedStderr());
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) {
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      lines.push_back(line);
    }
    return lines;
  }

 private:
  bool taken_ = false;
};

inline constexpr const char* kDuplicateResponseLine =
    "Error: Response can be set only once. Ignoring duplicate response.";

}  // namespace messaging_test

#endif  // ORVANE_TESTS_PORTABLE_MESSAGING_TEST_SUPPORT_H_
