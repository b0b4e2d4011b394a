#!/usr/bin/env bash
# Orbel.exe and its release zip are the same bytes whoever builds them and
# wherever: a second copy of the sources in another directory, built in yet
# another, must give identical files.
#
#   check_reproducible.sh SOURCE_DIR REFERENCE_BUILD_DIR VERSION
set -euo pipefail
source_dir=$1
reference=$2
version=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/orbel-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/elsewhere/sources"
for part in CMakeLists.txt cmake src resources tools packaging; do
  cp -a "$source_dir/$part" "$work/elsewhere/sources/"
done
cmake -S "$work/elsewhere/sources" -B "$work/out" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$work/elsewhere/sources/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DORBEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$work/out" --target package >/dev/null

status=0
for file in src/Orbel.exe "Orbel-$version-win64.zip"; do
  if cmp -s "$reference/$file" "$work/out/$file"; then
    echo "identical: $file ($(sha256sum <"$work/out/$file" | cut -c1-16)...)"
  else
    echo "FAILED: $file differs between two builds"
    status=1
  fi
done
exit $status
