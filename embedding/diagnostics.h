// The embedding layer's only output: one line per misuse or undecodable input, on the
// standard error stream, flushed at once so it is not lost if the process dies next.
#ifndef ORVANE_EMBEDDING_DIAGNOSTICS_H_
#define ORVANE_EMBEDDING_DIAGNOSTICS_H_

#include <string_view>

namespace flutter {

// Writes `text` and an end of line to the standard error stream and flushes. Never throws:
// it is called on paths that run inside the engine's C callbacks.
void WriteDiagnosticLine(std::string_view text) noexcept;

}  // namespace flutter

#endif  // ORVANE_EMBEDDING_DIAGNOSTICS_H_
