# shellcheck shell=bash
# Shared by run-setup.sh and run-cleanup.sh (sourced, not run).

# The same environment wine-emulator.sh gives the tests.
wine_env() {
  unset http_proxy https_proxy ftp_proxy all_proxy no_proxy
  unset HTTP_PROXY HTTPS_PROXY FTP_PROXY ALL_PROXY NO_PROXY
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
}

# Waits up to $1 seconds for the command in $2... to succeed.
wait_until() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# True when $1 is the PID of a live (not zombie) process whose command name
# is $2: a PID recorded by an earlier run may have been reused since.
pid_is() {
  local stat
  [[ -n $1 ]] && stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  [[ $stat == "$1 ($2) "[!Z]* ]]
}

# Starts the prefix's wineserver detached from our output. A server started
# implicitly by the first wine call inherits that call's stdout and stderr,
# which keeps ctest waiting on the pipe and stalls every later captured call.
start_wineserver() {
  WINEPREFIX=$1 wineserver -p </dev/null >/dev/null 2>&1
}

# Ends every Wine process of the prefix $1 and waits for its server to go.
stop_wineserver() {
  WINEPREFIX=$1 wineserver -k </dev/null >/dev/null 2>&1 || true
  WINEPREFIX=$1 timeout 20 wineserver -w </dev/null >/dev/null 2>&1 || true
}

# PIDs of the live Wine processes of the prefix $1 (its wineserver and every
# Windows process: their executable is one of Wine's, and WINEPREFIX=$1 is in
# their environment), or only of those whose command line starts with $2.
# The environment alone is not enough: the shell that exported it has it too.
prefix_pids() {
  local environ pid exe
  for environ in /proc/[0-9]*/environ; do
    grep -qzxF "WINEPREFIX=$1" "$environ" 2>/dev/null || continue
    pid=${environ#/proc/}
    pid=${pid%/environ}
    exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || continue
    [[ ${exe##*/} == wine* ]] || continue
    [[ $(cat "/proc/$pid/stat" 2>/dev/null) == *") "[!Z]* ]] || continue
    [[ -z ${2:-} || $(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline") == "$2"* ]] || continue
    echo "$pid"
  done
}
