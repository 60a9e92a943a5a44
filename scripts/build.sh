#!/usr/bin/env bash
# Builds the Windows configuration: the host and the stand-in libraries it runs against here.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows
