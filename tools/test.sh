#!/usr/bin/env bash
# Builds Orbel and runs every test tier:
#   1-2. unit and scenario tests on the Linux host over winsim, plain and
#        with AddressSanitizer + UndefinedBehaviorSanitizer;
#   3.   the real Orbel.exe and the registry fidelity tests under Wine + Xvfb.
# Warnings are errors here.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

tier() {
  local preset=$1 start=$SECONDS
  echo "=== $preset ==="
  cmake --preset "$preset" -DORBEL_WERROR=ON >/dev/null
  cmake --build --preset "$preset" -j2
  ctest --preset "$preset" -j"$2"
  echo "=== $preset: $((SECONDS - start)) s ==="
}

tier host 2
tier host-asan 2
# The Windows tier shares one Wine prefix and display, so it runs serially.
tier windows 1
