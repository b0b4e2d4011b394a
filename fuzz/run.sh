#!/bin/sh
# Builds the manifest fuzzer with clang and runs it for a bounded time over a
# copy of the seed corpus, so the tree is never written to. Exits non-zero if
# the fuzzer finds a crash or a failed check; the input that did it is left
# in the build directory as crash-*.
#
#   fuzz/run.sh                     60 seconds
#   FUZZ_SECONDS=600 fuzz/run.sh    longer
#   fuzz/run.sh -runs=2000000       any further libFuzzer flags
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
seconds=${FUZZ_SECONDS:-60}
cxx=${FUZZ_CXX:-clang++}
# orbel_version.h, which CMake writes into a configured build tree.
generated=${FUZZ_GENERATED_DIR:-$root/build/host/generated}
if [ ! -f "$generated/orbel_version.h" ]; then
  echo "fuzz/run.sh: no $generated/orbel_version.h; configure the host build first (cmake --preset host)" >&2
  exit 1
fi

mkdir -p "$build"
"$cxx" -std=c++17 -g -O1 -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Werror \
  -I "$root/src" -I "$generated" "$root/src/update/version.cpp" "$here/manifest_fuzz.cpp" \
  -o "$build/manifest_fuzz"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -R "$here/corpus" "$work/corpus"

status=0
"$build/manifest_fuzz" -max_total_time="$seconds" -max_len=8192 -dict="$here/manifest.dict" \
  -artifact_prefix="$build/" -print_final_stats=1 "$@" "$work/corpus" || status=$?
exit "$status"
