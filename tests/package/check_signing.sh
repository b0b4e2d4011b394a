#!/usr/bin/env bash
# Signing of the release, with a throwaway certificate made here:
#   - a build given ORBEL_SIGN_CERT and ORBEL_SIGN_KEY signs Orbel.exe, the
#     installer's orbel_setup.dll and the MSI; the zip and the MSI carry that
#     signed Orbel.exe, and the MSI that signed DLL;
#   - osslsigncode verifies the three signatures against the certificate;
#   - signing again later gives the same bytes (the signing time is the
#     source date, not the clock's);
#   - the signature is all that signing adds: taken off, the exe is the
#     unsigned one;
#   - the unsigned REFERENCE_BUILD_DIR (no certificate) signed nothing;
#   - given ORBEL_SIGN_TIMESTAMP_URL, each of the three signatures carries a
#     timestamp from that authority: one of our own on the loopback
#     (timestamp_responder.py, openssl's "ts" with a throwaway TSA
#     certificate), which osslsigncode verifies against that certificate.
#
#   check_signing.sh SOURCE_DIR REFERENCE_BUILD_DIR
set -euo pipefail
source_dir=$1
reference=$2

work=$(mktemp -d "${TMPDIR:-/tmp}/orbel-signing.XXXXXX")
responder=
trap 'if [[ -n $responder ]]; then kill "$responder" 2>/dev/null || true; fi; rm -rf "$work"' EXIT
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
dll=$build/packaging/release/orbel_setup.dll
msi=$(echo "$build"/Orbel-*-win64.msi)
zip=$(echo "$build"/Orbel-*-win64.zip)
for file in "$exe" "$dll" "$msi"; do
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
# The custom actions' DLL lives in the MSI's Binary table, not in its cabinet.
(cd "$work" && msiinfo extract "$msi" Binary.OrbelSetup >packed_setup.dll)
cmp -s "$work/packed_setup.dll" "$dll" || fail "the MSI does not carry the signed orbel_setup.dll"

mkdir "$work/first"
cp "$exe" "$dll" "$msi" "$zip" "$work/first/"
rm "$exe" "$dll" "$msi" "$zip"
sleep 1
cmake --build "$build" --target package >/dev/null
for file in "$exe" "$dll" "$msi" "$zip"; do
  cmp -s "$file" "$work/first/$(basename "$file")" || fail "signing again changed ${file#"$build"/}"
done

osslsigncode remove-signature -in "$exe" -out "$work/unsigned.exe" >/dev/null
cmp -s "$work/unsigned.exe" "$build/src/Orbel.exe" || fail "signing changed more of Orbel.exe than its signature"

cmp -s "$reference/packaging/release/Orbel.exe" "$reference/src/Orbel.exe" ||
  fail "the unsigned build's release Orbel.exe is not the linked one"
cmp -s "$reference/packaging/release/orbel_setup.dll" "$reference/packaging/setup/orbel_setup.dll" ||
  fail "the unsigned build's release orbel_setup.dll is not the linked one"
for file in "$reference/packaging/release/Orbel.exe" "$reference/packaging/release/orbel_setup.dll" \
  "$reference"/Orbel-*-win64.msi; do
  if osslsigncode verify -in "$file" >/dev/null 2>&1; then fail "the unsigned build signed ${file#"$reference"/}"; fi
done

# Timestamps. The TSA certificate must say timeStamping, critically.
faketime '@1700000000' openssl req -x509 -newkey rsa:2048 -nodes -days 36500 -subj "/CN=Orbel test timestamps" \
  -addext "extendedKeyUsage=critical,timeStamping" -keyout "$work/tsa-key.pem" -out "$work/tsa.pem" 2>/dev/null
cat >"$work/tsa.cnf" <<TSA_CONFIG
[ tsa ]
default_tsa = orbel_test_tsa
[ orbel_test_tsa ]
serial = $work/tsa-serial
signer_cert = $work/tsa.pem
signer_key = $work/tsa-key.pem
signer_digest = sha256
default_policy = 1.3.6.1.4.1.55555.1
digests = sha256
accuracy = secs:1
ess_cert_id_alg = sha256
TSA_CONFIG
echo 01 >"$work/tsa-serial"
# One request per signature; it stops by itself in any case.
readonly TIMESTAMP_REQUESTS=3 RESPONDER_LIFETIME_S=300
python3 "$source_dir/tests/package/timestamp_responder.py" "$work/tsa.cnf" "$work/tsa-port" \
  "$TIMESTAMP_REQUESTS" "$RESPONDER_LIFETIME_S" 2>"$work/tsa.log" &
responder=$!
for _ in $(seq 50); do
  [[ -s $work/tsa-port ]] && break
  sleep 0.1
done
cmake -S "$source_dir" -B "$build" -DORBEL_SIGN_TIMESTAMP_URL="http://127.0.0.1:$(<"$work/tsa-port")/" >/dev/null
cmake --build "$build" --target package >/dev/null || fail "the timestamped build failed"
# Not needed any more; ours, by PID. Ended and reaped, its PID may belong to
# someone else from now on.
kill "$responder" 2>/dev/null || true
wait "$responder" || true
responder=
for file in "$exe" "$dll" "$msi"; do
  if osslsigncode verify -CAfile "$work/cert.pem" -TSA-CAfile "$work/tsa.pem" -in "$file" >"$work/verify.log" 2>&1 &&
    grep -q "Orbel test timestamps" "$work/verify.log"; then
    echo "timestamped and verified: ${file#"$build"/}"
  else
    fail "${file#"$build"/} has no verified timestamp:"
    cat "$work/verify.log" "$work/tsa.log"
  fi
done

((status == 0)) && echo "signing ok"
exit $status
