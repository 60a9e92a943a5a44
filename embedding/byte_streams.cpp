#include "embedding/byte_streams.h"

#include "embedding/diagnostics.h"

namespace flutter {

namespace {
constexpr char kInvalidRead[] = "Invalid read in StandardCodecByteStreamReader";
}  // namespace

void ByteBufferStreamReader::ReportInvalidRead() noexcept {
  WriteDiagnosticLine(kInvalidRead);
}

}  // namespace flutter
