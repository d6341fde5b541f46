#!/usr/bin/env bash
# Every test: the host unit tests (plain, then under AddressSanitizer and
# UndefinedBehaviorSanitizer), the fuzz targets (about 20 s each, from their
# committed seeds), then the Windows build and its Wine tests.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
status=0
for preset in host host-asan host-fuzz windows; do
  echo "=== ${preset} ==="
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j "$jobs"; }; then
    echo "build of preset ${preset} failed"
    status=1
    continue
  fi
  ctest --preset "$preset" -j "$jobs" || status=1
done
exit $status
