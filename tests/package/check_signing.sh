#!/usr/bin/env bash
# Signing of the release, with a throwaway certificate made here:
#   - a build given ORBEL_SIGN_CERT and ORBEL_SIGN_KEY signs Orbel.exe and the
#     MSI, and the zip and the MSI carry that signed Orbel.exe;
#   - osslsigncode verifies both signatures against the certificate;
#   - signing again later gives the same bytes (the signing time is the
#     source date, not the clock's);
#   - the signature is all that signing adds: taken off, the exe is the
#     unsigned one;
#   - the unsigned REFERENCE_BUILD_DIR (no certificate) signed nothing.
#
#   check_signing.sh SOURCE_DIR REFERENCE_BUILD_DIR
set -euo pipefail
source_dir=$1
reference=$2

work=$(mktemp -d "${TMPDIR:-/tmp}/orbel-signing.XXXXXX")
trap 'rm -rf "$work"' EXIT
status=0
fail() {
  echo "FAILED: $*"
  status=1
}

# Valid from long before the source date the signatures carry.
faketime '@1700000000' openssl req -x509 -newkey rsa:2048 -nodes -days 36500 -subj "/CN=Orbel test signing" \
  -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null

build=$work/signed
cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DORBEL_BUILD_TESTS=OFF \
  -DORBEL_SIGN_CERT="$work/cert.pem" -DORBEL_SIGN_KEY="$work/key.pem" >/dev/null
cmake --build "$build" --target package >/dev/null

exe=$build/packaging/release/Orbel.exe
msi=$(echo "$build"/Orbel-*-win64.msi)
zip=$(echo "$build"/Orbel-*-win64.zip)
for file in "$exe" "$msi"; do
  if osslsigncode verify -CAfile "$work/cert.pem" -in "$file" >"$work/verify.log" 2>&1; then
    unsigned=$reference/${file#"$build"/}
    echo "signed and verified: ${file#"$build"/} ($(stat -c %s "$file") bytes; unsigned $(stat -c %s "$unsigned"))"
  else
    fail "${file#"$build"/} does not verify:"
    cat "$work/verify.log"
  fi
done

python3 -c 'import sys, zipfile; sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read("Orbel.exe"))' "$zip" \
  >"$work/zipped.exe"
cmp -s "$work/zipped.exe" "$exe" || fail "the zip does not carry the signed Orbel.exe"
msiextract -C "$work/extracted" "$msi" >/dev/null
packed=$(find "$work/extracted" -name Orbel.exe)
[[ -n $packed ]] && cmp -s "$packed" "$exe" || fail "the MSI does not carry the signed Orbel.exe"

mkdir "$work/first"
cp "$exe" "$msi" "$zip" "$work/first/"
rm "$exe" "$msi" "$zip"
sleep 1
cmake --build "$build" --target package >/dev/null
for file in "$exe" "$msi" "$zip"; do
  cmp -s "$file" "$work/first/$(basename "$file")" || fail "signing again changed ${file#"$build"/}"
done

osslsigncode remove-signature -in "$exe" -out "$work/unsigned.exe" >/dev/null
cmp -s "$work/unsigned.exe" "$build/src/Orbel.exe" || fail "signing changed more of Orbel.exe than its signature"

cmp -s "$reference/packaging/release/Orbel.exe" "$reference/src/Orbel.exe" ||
  fail "the unsigned build's release Orbel.exe is not the linked one"
for file in "$reference/packaging/release/Orbel.exe" "$reference"/Orbel-*-win64.msi; do
  if osslsigncode verify -in "$file" >/dev/null 2>&1; then fail "the unsigned build signed ${file#"$reference"/}"; fi
done

((status == 0)) && echo "signing ok"
exit $status
