#!/usr/bin/env bash
# Builds Orbel and runs every test tier:
#   1-2. unit and scenario tests on the Linux host over winsim, plain and
#        with AddressSanitizer + UndefinedBehaviorSanitizer;
#   3.   the same under ThreadSanitizer, for the update worker;
#   4.   a bounded libFuzzer run over the manifest reader;
#   5.   the real Orbel.exe and the registry fidelity tests under Wine + Xvfb;
#   6.   Orbel.exe built by a second compiler (clang with lld), with the checks
#        of the exe itself (resources, size, imports).
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
tier host-tsan 2

echo "=== fuzz: the manifest reader, bounded ==="
start=$SECONDS
FUZZ_SECONDS=${FUZZ_SECONDS:-60} bash fuzz/run.sh
echo "=== fuzz: $((SECONDS - start)) s ==="

# The Windows tier shares one Wine prefix and display, so it runs serially.
tier windows 1
tier windows-clang 2
