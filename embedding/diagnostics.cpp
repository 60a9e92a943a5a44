#include "embedding/diagnostics.h"

#include <iostream>

namespace flutter {

void WriteDiagnosticLine(std::string_view text) noexcept {
  try {
    std::cerr << text << std::endl;
  } catch (...) {
    // A stream configured to throw must not take the host down for a diagnostic.
  }
}

}  // namespace flutter
