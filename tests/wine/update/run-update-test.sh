#!/bin/bash
# Runs the update-check test program against a web host of our own, through
# Wine's own network stack (WinINet, its TLS and the host's name resolution):
#
#   run-update-test.sh TEMPLATE_DIR EMULATOR TEST_EXE [TEST ARGS...]
#
# ORBEL_NEWER_VERSION (from ctest) names a version newer than Orbel's: the
# web host's 404 answers carry a manifest of it.
#
# Orbel fetches https://www.dremmholt.no/verktoy/orbel.json. To answer that
# without touching the machine or the internet, everything of the run lives in
# private namespaces made for it:
#   - network: only a loopback of its own, on which an HTTPS server of ours
#     listens at 127.0.0.1:443; nothing reaches any other network;
#   - mount: a hosts file mapping www.dremmholt.no to 127.0.0.1 is bind-mounted
#     over /etc/hosts, visible to this run's processes only;
#   - PID: when the run ends, however it ends, the kernel ends every process
#     left in it.
# The name is resolved inside the Wine process that fetches (Orbel.exe, through
# the host's libc), so that process must start inside the namespaces. A shared
# wineserver or a prefix started outside would not do; so this run does its own
# fixture in there: a copy of the template prefix, its own Xvfb and desktop
# (run-setup.sh), and a throwaway certificate authority that only this run's
# prefix trusts. The certificate files are made here at run time.
#
# Exit status: the test program's, or 77 (skipped) when this machine cannot
# give the run its namespaces.
set -Eeuo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine_dir=$(cd "$here/.." && pwd)
# shellcheck source-path=SCRIPTDIR source=../wine-common.sh
source "$wine_dir/wine-common.sh"

readonly SKIP_STATUS=77
readonly WEB_HOST=www.dremmholt.no

skip() {
  echo "SKIPPED: the update check through Wine's network stack cannot run here: $*"
  exit "$SKIP_STATUS"
}

if [[ ${1:-} != --inside ]]; then
  if (($# < 3)) || [[ -z ${ORBEL_NEWER_VERSION:-} ]]; then
    echo "usage: ORBEL_NEWER_VERSION=V $0 TEMPLATE_DIR EMULATOR TEST_EXE [TEST ARGS...]" >&2
    exit 2
  fi
  ((EUID == 0)) || skip "not root: private namespaces and port 443 need root"
  for tool in unshare mount ip openssl python3; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (tools/install-deps.sh installs it)"
  done
  if ! unshare --mount --net --pid --fork true 2>/dev/null; then
    skip "this machine does not allow private mount, network and PID namespaces (unshare failed)"
  fi
  # --kill-child: if ctest ends this script, the namespace's first process
  # gets SIGKILL, and with it everything else in the namespace.
  exec unshare --mount --net --pid --fork --kill-child --mount-proc -- bash "${BASH_SOURCE[0]}" --inside "$@"
fi

# Inside the namespaces from here on.
shift
template=$1
emulator=$2
test_exe=$3
shift 3
wine_env

tmp=$(mktemp -d "${TMPDIR:-/tmp}/orbel-update.XXXXXX")
server_pid=

# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
  local status=$?
  trap - EXIT
  "$wine_dir/run-cleanup.sh" "$tmp/run" || status=1
  if [[ -n $server_pid ]]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  if [[ -s $tmp/server.log ]]; then
    echo "--- what the web host saw ---"
    cat "$tmp/server.log"
  fi
  rm -rf "$tmp"
  exit "$status"
}
trap cleanup EXIT

fail() {
  echo "$*" >&2
  exit 1
}

# The network: a loopback only, and the maker's host name on it.
ip link set lo up
printf '127.0.0.1\tlocalhost\n127.0.0.1\t%s\n' "$WEB_HOST" >"$tmp/hosts"
mount --bind "$tmp/hosts" /etc/hosts
[[ $(getent hosts "$WEB_HOST") == 127.0.0.1* ]] || fail "$WEB_HOST does not resolve to 127.0.0.1 in the namespace"

# A certificate authority that lives for this run only, and the host's
# certificate from it: WinINet checks the chain against the prefix's root store.
pki() {
  cd "$tmp"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout ca.key -out ca.pem \
    -subj "/CN=Orbel update test CA (throwaway)" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
  openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "/CN=$WEB_HOST"
  printf 'subjectAltName=DNS:%s\nbasicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n' \
    "$WEB_HOST" >server.ext
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile server.ext \
    -out server.pem
  # The test program hands this to the prefix's root store itself, per case.
  openssl x509 -in ca.pem -outform DER -out ca.der
}
(pki) >"$tmp/pki.log" 2>&1 || fail "making the test certificates failed: $(cat "$tmp/pki.log")"

mkdir -p "$tmp/www/verktoy"
python3 "$here/manifest_server.py" --cert "$tmp/server.pem" --key "$tmp/server.key" --root "$tmp/www" \
  --log "$tmp/server.log" --ready "$tmp/server.ready" --newer-version "$ORBEL_NEWER_VERSION" \
  </dev/null >"$tmp/server.out" 2>&1 &
server_pid=$!
# shellcheck disable=SC2317 # run by wait_until
server_ready() { [[ -s $tmp/server.ready ]] || ! kill -0 "$server_pid" 2>/dev/null; }
wait_until 15 server_ready || true
[[ -s $tmp/server.ready ]] || fail "the HTTPS server did not start: $(cat "$tmp/server.out")"

# This run's own prefix, Xvfb and desktop. (Not under $tmp through TMPDIR:
# Wine would then put the server's socket elsewhere for run-setup.sh than for
# the programs started later, and they would not find each other.)
"$wine_dir/run-setup.sh" "$template" "$tmp/run"

# The test program finds the served directory, the server's log, the CA and
# the file the URL recorder writes under this directory, as Wine shows it.
export ORBEL_UPDATE_DIR="Z:${tmp//\//\\}"
status=0
ORBEL_WINE_RUN_DIR=$tmp/run ORBEL_WINE_NETWORK=own "$emulator" "$test_exe" "$@" || status=$?
exit "$status"
