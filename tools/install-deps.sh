#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing Orbel need.
# Safe to run again: only missing packages are fetched.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config python3
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libpng-dev zlib1g-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix
  # The second Windows compiler: clang with lld and LLVM's windres.
  lld llvm-14
  wine wine64 xvfb x11-apps xdotool imagemagick icoutils
  # The Wine update test's own network: namespaces, loopback, test CA.
  util-linux mount iproute2 openssl
  # The release: the MSI (wixl, msibuild; faketime fixes its clock), signing,
  # and the check of the winget manifests.
  wixl msitools faketime osslsigncode python3-yaml
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
